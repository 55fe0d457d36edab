#pragma once
// The single-instance lock: held by at most one live process per computer, and released
// by the system when its holder ends, however it ends.

#include <string>

namespace hv {

class SingleInstance {
public:
    // Holds nothing yet. `name` names the lock ("Halvane" for the program).
    explicit SingleInstance(std::string name = "Halvane");
    ~SingleInstance();  // releases the lock if held
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock: false when another holder (this process included) has it, or when
    // it cannot be taken at all (errno kept in LastError()).
    bool Acquire();
    void Release();
    bool Held() const { return fd_ >= 0; }
    int LastError() const { return lastError_; }

private:
    std::string name_;
    int fd_ = -1;
    int lastError_ = 0;
};

}  // namespace hv
