// caldrovex-host: the host process (see HostApp).

#include "app/HostApp.h"

int main(int argc, char** argv) {
    return caldrovex::HostApp::run(argc, argv);
}
