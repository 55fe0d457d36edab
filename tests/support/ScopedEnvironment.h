#pragma once
// Environment variables of the test process set (or removed) for a scope and restored,
// unset when they were unset before, when the object goes, also after a failed ASSERT:
// a test never leaves its variables to the tests after it.
//
//   ScopedEnvironment environment{{"ZANDREL_QUEUE_RELAY_PORT", "4000"}, {"PATH", nullptr}};

#include <QByteArray>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include <QtGlobal>

namespace hv::test {

class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    // Each pair is a name and its value for the scope; a null value removes the variable.
    ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> variables) {
        for (const auto& [name, value] : variables) {
            if (value != nullptr)
                Set(name, value);
            else
                Unset(name);
        }
    }
    ~ScopedEnvironment() {
        // Restored in reverse order, so that a name set twice ends as it was first.
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                qputenv(it->first.constData(), *it->second);
            else
                qunsetenv(it->first.constData());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void Set(const char* name, const QByteArray& value) {
        Save(name);
        qputenv(name, value);
    }
    void Unset(const char* name) {
        Save(name);
        qunsetenv(name);
    }
    // Leaves the variable as it is now and restores it so, whatever sets it meanwhile.
    void Keep(const char* name) { Save(name); }

private:
    void Save(const char* name) {
        std::optional<QByteArray> before;
        if (qEnvironmentVariableIsSet(name)) before = qgetenv(name);
        saved_.emplace_back(QByteArray(name), std::move(before));
    }

    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> saved_;
};

}  // namespace hv::test
