#pragma once

#include <set>
#include <string>
#include <vector>

#include "host/PowerControl.h"

namespace caldrovex::test {

// Power control that records assertions and lets the test put the displays to sleep. A
// declared user activity wakes them after `wakeAfterActivityPolls` calls of `displaysAwake`.
class FakePowerControl final : public PowerControl {
public:
    uint32_t createAssertion(Assertion kind, const std::string& name) override {
        if (refuse) return 0;
        held.insert(nextID);
        names.push_back(name);
        kinds.push_back(kind);
        return nextID++;
    }
    void releaseAssertion(uint32_t id) override {
        held.erase(id);
        ++releases;
    }
    bool displaysAwake() override {
        if (!awake && activityDeclared && pollsUntilAwake-- <= 0) awake = true;
        ++awakeQueries;
        return awake;
    }
    void declareUserActivity(const std::string& name) override {
        activityDeclared = true;
        activityName = name;
    }
    bool screenLocked() override { return locked; }

    bool refuse = false;
    bool awake = true;
    bool locked = false;
    // Queries answered asleep after the activity, before the displays come on.
    int pollsUntilAwake = 0;
    bool activityDeclared = false;
    std::string activityName;
    int awakeQueries = 0;
    std::set<uint32_t> held;
    std::vector<std::string> names;
    std::vector<Assertion> kinds;
    int releases = 0;
    uint32_t nextID = 1;
};

}  // namespace caldrovex::test
