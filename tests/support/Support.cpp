// Anchor of the shared test-support library; the helpers themselves live beside it.
namespace caldrovex::test {
int supportLibraryAnchor = 0;
}
