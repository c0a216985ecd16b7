#include "adapters/mutter/MutterMonitors.h"

#include <algorithm>
#include <map>

#include "adapters/mutter/MutterCall.h"
#include "platform/CaldrovexError.h"

namespace caldrovex::platform {

namespace {

constexpr const char* kNoLayout = "The desktop's display configuration could not be read";

struct ModeSize {
    int width = 0;
    int height = 0;
};

// The current mode's size of each monitor, by connector.
std::map<std::string, ModeSize> currentModes(GVariant* monitors) {
    std::map<std::string, ModeSize> sizes;
    GVariantIter iter;
    g_variant_iter_init(&iter, monitors);
    GVariant* monitor = nullptr;
    while ((monitor = g_variant_iter_next_value(&iter))) {
        GVariantPtr owned(monitor);
        const char* connector = nullptr;
        g_variant_get_child(monitor, 0, "(&ssss)", &connector, nullptr, nullptr, nullptr);
        GVariantPtr modes(g_variant_get_child_value(monitor, 1));
        GVariantIter modeIter;
        g_variant_iter_init(&modeIter, modes.get());
        GVariant* mode = nullptr;
        while ((mode = g_variant_iter_next_value(&modeIter))) {
            GVariantPtr ownedMode(mode);
            int32_t width = 0;
            int32_t height = 0;
            g_variant_get_child(mode, 1, "i", &width);
            g_variant_get_child(mode, 2, "i", &height);
            GVariantPtr properties(g_variant_get_child_value(mode, 6));
            gboolean current = FALSE;
            if (g_variant_lookup(properties.get(), "is-current", "b", &current) && current)
                sizes[connector] = ModeSize{width, height};
        }
    }
    return sizes;
}

}  // namespace

uint32_t displayIDOf(const std::string& connector) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : connector) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash == 0 ? 1 : hash;
}

std::vector<MutterMonitor> monitorsFromState(GVariant* state) {
    GVariantPtr monitors(g_variant_get_child_value(state, 1));
    GVariantPtr logical(g_variant_get_child_value(state, 2));
    const std::map<std::string, ModeSize> sizes = currentModes(monitors.get());
    std::vector<MutterMonitor> result;
    GVariantIter iter;
    g_variant_iter_init(&iter, logical.get());
    GVariant* entry = nullptr;
    while ((entry = g_variant_iter_next_value(&iter))) {
        GVariantPtr owned(entry);
        int32_t x = 0;
        int32_t y = 0;
        uint32_t transform = 0;
        gboolean primary = FALSE;
        g_variant_get_child(entry, 0, "i", &x);
        g_variant_get_child(entry, 1, "i", &y);
        g_variant_get_child(entry, 3, "u", &transform);
        g_variant_get_child(entry, 4, "b", &primary);
        GVariantPtr specs(g_variant_get_child_value(entry, 5));
        GVariantIter specIter;
        g_variant_iter_init(&specIter, specs.get());
        const char* connector = nullptr;
        while (g_variant_iter_next(&specIter, "(&ssss)", &connector, nullptr, nullptr, nullptr)) {
            auto size = sizes.find(connector);
            if (size == sizes.end()) continue;
            // Odd transforms turn the monitor by a quarter: its picture is as tall as the
            // mode is wide.
            bool turned = transform % 2 == 1;
            MutterMonitor monitor;
            monitor.connector = connector;
            monitor.primary = primary;
            monitor.display.id = displayIDOf(connector);
            monitor.display.name = connector;
            monitor.display.x = x;
            monitor.display.y = y;
            monitor.display.width = turned ? size->second.height : size->second.width;
            monitor.display.height = turned ? size->second.width : size->second.height;
            result.push_back(std::move(monitor));
        }
    }
    std::stable_partition(result.begin(), result.end(),
                          [](const MutterMonitor& m) { return m.primary; });
    return result;
}

std::vector<MutterMonitor> mutterMonitors(GDBusConnection* connection) {
    if (!connection) throw CaldrovexError(std::string(kNoLayout) + " (no session bus).");
    GVariantPtr state =
        callOrThrow(connection, kDisplayConfigName, kDisplayConfigPath, kDisplayConfigName,
                    "GetCurrentState", nullptr, nullptr, kNoLayout);
    return monitorsFromState(state.get());
}

}  // namespace caldrovex::platform
