#include "adapters/mutter/MutterBus.h"
#include "platform/EnvironmentVariable.h"

#include <cstdlib>
#include <filesystem>

namespace caldrovex::platform {

namespace {

// One posted piece of work, owned by GLib until it has run.
gboolean runWork(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void freeWork(gpointer data) {
    delete static_cast<std::function<void()>*>(data);
}

using SignalHandler = std::function<void(GVariant*)>;

void deliverSignal(GDBusConnection*, const char*, const char*, const char*, const char*,
                   GVariant* parameters, gpointer data) {
    (*static_cast<SignalHandler*>(data))(parameters);
}

void freeHandler(gpointer data) {
    delete static_cast<SignalHandler*>(data);
}

}  // namespace

std::optional<std::string> MutterBus::sessionAddress() {
    if (auto address = environmentVariable("DBUS_SESSION_BUS_ADDRESS")) return address;
    auto runtime = environmentVariable("XDG_RUNTIME_DIR");
    if (!runtime) return std::nullopt;
    std::filesystem::path socket = std::filesystem::path(*runtime) / "bus";
    std::error_code error;
    if (!std::filesystem::exists(socket, error)) return std::nullopt;
    return "unix:path=" + socket.string();
}

std::shared_ptr<MutterBus> MutterBus::open() {
    auto address = sessionAddress();
    if (!address) return nullptr;
    return std::make_shared<MutterBus>(*address);
}

MutterBus::MutterBus(std::string address)
    : address_(std::move(address)),
      context_(g_main_context_new()),
      loop_(g_main_loop_new(context_.get(), FALSE)) {
    thread_ = std::thread([context = context_.get(), loop = loop_.get()] {
        g_main_context_push_thread_default(context);
        g_main_loop_run(loop);
        g_main_context_pop_thread_default(context);
    });
}

MutterBus::~MutterBus() {
    {
        std::lock_guard guard(queriesMutex_);
        queries_.reset();
    }
    // Work still queued runs first: it may be a session's last goodbye to the compositor.
    invoke([loop = loop_.get()] { g_main_loop_quit(loop); });
    if (onBusThread()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

ConnectionPtr MutterBus::connect(GErrorPtr& error) const {
    GError* raw = nullptr;
    auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    ConnectionPtr connection(
        g_dbus_connection_new_for_address_sync(address_.c_str(), flags, nullptr, nullptr, &raw));
    error.reset(raw);
    if (connection) g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
    return connection;
}

GDBusConnection* MutterBus::queries() {
    std::lock_guard guard(queriesMutex_);
    if (queries_ && g_dbus_connection_is_closed(queries_.get())) queries_.reset();
    if (!queries_) {
        GErrorPtr error;
        queries_ = connect(error);
    }
    return queries_.get();
}

void MutterBus::invoke(std::function<void()> work) {
    // Always queued, even from the bus thread, so work runs in the order it was posted.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runWork, new std::function<void()>(std::move(work)), freeWork);
    g_source_attach(source, context_.get());
    g_source_unref(source);
}

unsigned MutterBus::subscribe(GDBusConnection* connection, const char* interface,
                              const char* member, const std::string& path,
                              std::function<void(GVariant*)> handler) {
    // The thread-default context of the calling thread, the bus thread's, is where GDBus
    // delivers the signal.
    return g_dbus_connection_signal_subscribe(connection, nullptr, interface, member, path.c_str(),
                                              nullptr, G_DBUS_SIGNAL_FLAGS_NONE, deliverSignal,
                                              new SignalHandler(std::move(handler)), freeHandler);
}

}  // namespace caldrovex::platform
