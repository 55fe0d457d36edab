#pragma once
// The console's TCP connection to Halvane's controller port: plain sockets, every wait
// bounded.

#include <string>
#include <string_view>

namespace hv::panel {

class PanelConnection {
public:
    PanelConnection() = default;
    ~PanelConnection();
    PanelConnection(const PanelConnection&) = delete;
    PanelConnection& operator=(const PanelConnection&) = delete;

    enum class Failure { None, Refused, Unreachable };
    // Tries every address of `host` in turn, each within what is left of `timeoutMs`.
    // On failure `error` says why, in words for a person.
    Failure Connect(const std::string& host, const std::string& port, int timeoutMs,
                    std::string& error);

    // False (with `error`) when the connection is gone.
    bool SendAll(std::string_view bytes, std::string& error);

    enum class ReadResult { Data, Timeout, Closed, Failed };
    // Waits at most `timeoutMs` for bytes and appends what arrived to `out`.
    ReadResult Read(int timeoutMs, std::string& out, std::string& error);

private:
    int fd_ = -1;
};

}  // namespace hv::panel
