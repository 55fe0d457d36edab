#pragma once
// The single-instance lock: held by at most one live process of this user, and released by
// the system when its holder ends, however it ends. It is an flock on a lock file in the
// user's runtime folder (platform/RuntimeFolder.h), so another user can neither hold it nor
// keep this user's program from starting.

#include <string>

namespace hv {

class SingleInstance {
public:
    // Holds nothing yet. `name` names the lock ("Halvane" for the program).
    explicit SingleInstance(std::string name = "Halvane");
    ~SingleInstance();  // releases the lock if held
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock: false when another holder (this process included) has it, or when it
    // cannot be taken at all. LastError() is 0 in the first case; in the second it is the
    // errno value and Problem() says what is wrong.
    bool Acquire();
    void Release();
    bool Held() const { return fd_ >= 0; }
    int LastError() const { return lastError_; }
    const std::string& Problem() const { return problem_; }
    // The lock file, once Acquire has looked for it.
    const std::string& Path() const { return path_; }

private:
    std::string name_;
    std::string path_;
    std::string problem_;
    int fd_ = -1;
    int lastError_ = 0;
};

}  // namespace hv
