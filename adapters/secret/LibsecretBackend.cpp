#include "adapters/secret/LibsecretBackend.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "trust/SecureStore.h"

namespace caldrovex::platform {

namespace {

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct ItemListFree {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};
struct PlainListFree {
    void operator()(GList* list) const { g_list_free(list); }
};
struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct SecretValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};

using ErrorPtr = std::unique_ptr<GError, GErrorFree>;
template <typename T>
using ObjectPtr = std::unique_ptr<T, GObjectUnref>;
using ItemList = std::unique_ptr<GList, ItemListFree>;
using PlainList = std::unique_ptr<GList, PlainListFree>;
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;
using ValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;
struct VariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
struct VariantIterFree {
    void operator()(GVariantIter* iterator) const { g_variant_iter_free(iterator); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;
using VariantIterPtr = std::unique_ptr<GVariantIter, VariantIterFree>;

// Out-parameter adapter: `GErrorSlot slot; call(..., slot.out()); slot.check();`.
class GErrorSlot {
public:
    GError** out() { return &raw_; }
    // Throws the backend failure carrying the error's code when the call reported one.
    void check(SecretBackend::Failure::Kind kind = SecretBackend::Failure::Kind::storage) {
        ErrorPtr error(raw_);
        raw_ = nullptr;
        if (error) throw SecretBackend::Failure(error->code, kind);
    }
    ~GErrorSlot() {
        if (raw_) g_error_free(raw_);
    }

private:
    GError* raw_ = nullptr;
};

[[noreturn]] void failLocked() {
    throw SecretBackend::Failure(SECRET_ERROR_IS_LOCKED);
}

// Items are matched on "service" and "account" only (not on a schema name), so that the
// stored items stay readable whatever wrote them.
const SecretSchema& credentialSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "com.hadrelonix.caldrovex.Credential";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return schema;
}

AttributesPtr attributesFor(const std::string& account) {
    AttributesPtr attributes(g_hash_table_new(g_str_hash, g_str_equal));
    // The table borrows the strings: `account` outlives every use of the table.
    g_hash_table_insert(attributes.get(), const_cast<char*>("service"),
                        const_cast<char*>(SecureStore::kService));
    g_hash_table_insert(attributes.get(), const_cast<char*>("account"),
                        const_cast<char*>(account.c_str()));
    return attributes;
}

constexpr const char* kSecretServiceName = "org.freedesktop.secrets";
// Questions to the bus itself are answered at once; a bus that hangs is as good as none.
constexpr int kBusCallTimeoutMs = 5000;

// GDBus finds the session bus through DBUS_SESSION_BUS_ADDRESS, else at the user bus socket
// $XDG_RUNTIME_DIR/bus, else it launches a private bus with dbus-launch, which would start a
// keyring daemon of its own whose password prompt nobody sees. So without either of the first
// two there is no bus to use, and GDBus is not asked for one.
bool sessionBusConfigured() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    struct stat info {};
    const std::string socket = std::string(runtime) + "/bus";
    return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// A call to the bus daemon itself; null when it failed.
VariantPtr askBus(GDBusConnection* bus, const char* method, GVariant* arguments,
                  const GVariantType* reply) {
    return VariantPtr(g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        arguments, reply, G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, nullptr, nullptr));
}

// Whether a Secret Service runs on the bus or the bus can start one (D-Bus activation).
bool secretServiceOn(GDBusConnection* bus) {
    if (VariantPtr owned = askBus(bus, "NameHasOwner", g_variant_new("(s)", kSecretServiceName),
                                  G_VARIANT_TYPE("(b)"))) {
        gboolean hasOwner = FALSE;
        g_variant_get(owned.get(), "(b)", &hasOwner);
        if (hasOwner) return true;
    }
    VariantPtr names = askBus(bus, "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"));
    if (!names) return false;
    GVariantIter* raw = nullptr;
    g_variant_get(names.get(), "(as)", &raw);
    VariantIterPtr iterator(raw);
    const gchar* name = nullptr;
    while (g_variant_iter_loop(iterator.get(), "&s", &name))
        if (std::strcmp(name, kSecretServiceName) == 0) return true;
    return false;
}

// Fails fast, with what the user has to mend, when the keyring service cannot be reached:
// no session bus, or none with a Secret Service.
void requireSecretService() {
    if (!sessionBusConfigured())
        throw SecretBackend::Failure(G_DBUS_ERROR_FILE_NOT_FOUND,
                                     SecretBackend::Failure::Kind::noSessionBus);
    GErrorSlot error;
    ObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    error.check(SecretBackend::Failure::Kind::noSessionBus);  // an address that leads nowhere
    if (!bus || !secretServiceOn(bus.get()))
        throw SecretBackend::Failure(G_DBUS_ERROR_SERVICE_UNKNOWN,
                                     SecretBackend::Failure::Kind::noService);
}

// The process-wide connection to the Secret Service, with a session for moving secrets.
// libsecret keeps one shared instance; this takes a reference to it.
ObjectPtr<SecretService> connect() {
    requireSecretService();
    GErrorSlot error;
    ObjectPtr<SecretService> service(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
    error.check();
    if (!service) throw SecretBackend::Failure(SECRET_ERROR_PROTOCOL);
    return service;
}

// The collection writes go to; none when the service has no default alias yet.
ObjectPtr<SecretCollection> defaultCollection(SecretService* service) {
    GErrorSlot error;
    ObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out()));
    error.check();
    return collection;
}

// Every matching item, locked ones included.
ItemList search(SecretService* service, const std::string& account) {
    AttributesPtr attributes = attributesFor(account);
    GErrorSlot error;
    ItemList items(secret_service_search_sync(service, &credentialSchema(), attributes.get(),
                                              SECRET_SEARCH_ALL, nullptr, error.out()));
    error.check();
    return items;
}

std::string loadSecret(SecretItem* item) {
    GErrorSlot error;
    secret_item_load_secret_sync(item, nullptr, error.out());
    error.check();
    ValuePtr value(secret_item_get_secret(item));
    // An unlocked item whose secret cannot be had is not an absent item.
    if (!value) throw SecretBackend::Failure(SECRET_ERROR_PROTOCOL);
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return std::string(bytes, length);
}

// Asks the user to unlock `objects` (items or collections); fails unless something was
// unlocked.
void unlockWithPrompt(SecretService* service, GList* objects) {
    GErrorSlot error;
    const gint unlocked =
        secret_service_unlock_sync(service, objects, nullptr, nullptr, error.out());
    error.check();
    if (unlocked == 0) failLocked();
}

}  // namespace

std::optional<std::string> LibsecretBackend::read(const std::string& account, bool allowPrompt) {
    ObjectPtr<SecretService> service = connect();
    // At most one unlock: after a prompt the search runs once more and must then see an
    // unlocked item or an unlocked default collection.
    for (bool prompted = false;; prompted = true) {
        ItemList items = search(service.get(), account);
        PlainList locked;
        for (GList* node = items.get(); node != nullptr; node = node->next) {
            auto* item = static_cast<SecretItem*>(node->data);
            if (!secret_item_get_locked(item)) return loadSecret(item);
            locked.reset(g_list_prepend(locked.release(), item));
        }
        ObjectPtr<SecretCollection> collection = defaultCollection(service.get());
        if (collection && secret_collection_get_locked(collection.get())) {
            locked.reset(g_list_prepend(locked.release(), collection.get()));
        }
        if (!locked) return std::nullopt;
        if (!allowPrompt || prompted) failLocked();
        unlockWithPrompt(service.get(), locked.get());
    }
}

void LibsecretBackend::write(const std::string& account, const std::string& value) {
    ObjectPtr<SecretService> service = connect();
    // libsecret would answer a locked collection with an unlock prompt, and a missing one with
    // a prompt to create it; writes never prompt.
    ObjectPtr<SecretCollection> collection = defaultCollection(service.get());
    if (!collection) throw SecretBackend::Failure(SECRET_ERROR_NO_SUCH_OBJECT);
    if (secret_collection_get_locked(collection.get())) failLocked();

    AttributesPtr attributes = attributesFor(account);
    ValuePtr secret(secret_value_new(value.data(), static_cast<gssize>(value.size()),
                                     "application/octet-stream"));
    const std::string label = std::string("Caldrovex credential ") + account;
    GErrorSlot error;
    const gboolean stored = secret_service_store_sync(
        service.get(), &credentialSchema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
        label.c_str(), secret.get(), nullptr, error.out());
    error.check();
    if (!stored) throw SecretBackend::Failure(SECRET_ERROR_PROTOCOL);
}

}  // namespace caldrovex::platform
