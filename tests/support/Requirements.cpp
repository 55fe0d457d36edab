#include "Requirements.h"

#include <unistd.h>

#include <QStandardPaths>
#include <QString>
#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

namespace hv::test {

namespace {

const char* VariableOf(Requirement kind) {
    switch (kind) {
    case Requirement::Desktop: return "HALVANE_REQUIRE_DESKTOP";
    case Requirement::Root: return "HALVANE_REQUIRE_ROOT";
    case Requirement::Tools: return "HALVANE_REQUIRE_TOOLS";
    }
    return "";
}

const char* NameOf(Requirement kind) {
    switch (kind) {
    case Requirement::Desktop: return "a virtual desktop";
    case Requirement::Root: return "root";
    case Requirement::Tools: return "tools";
    }
    return "";
}

std::string MissingTools(std::initializer_list<const char*> tools) {
    std::string missing;
    for (const char* tool : tools) {
        if (!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) continue;
        if (!missing.empty()) missing += ", ";
        missing += tool;
    }
    return missing;
}

// The tests skipped through HV_NEEDS, by full name.
struct Skips {
    std::mutex mutex;
    std::set<std::string> declared;
};

Skips& TheSkips() {
    static Skips skips;
    return skips;
}

std::string CurrentTestName() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr) return {};
    return std::string(test->test_suite_name()) + "." + test->name();
}

// Collects the skipped tests as they end.
class SkipListener final : public ::testing::EmptyTestEventListener {
public:
    void OnTestEnd(const ::testing::TestInfo& test) override {
        if (!test.result()->Skipped()) return;
        const std::string name = std::string(test.test_suite_name()) + "." + test.name();
        Skips& skips = TheSkips();
        std::lock_guard lock(skips.mutex);
        (skips.declared.count(name) != 0 ? skipped : undeclared).push_back(name);
    }

    std::vector<std::string> skipped;
    std::vector<std::string> undeclared;
};

}  // namespace

bool IsRequired(Requirement kind) { return qEnvironmentVariableIntValue(VariableOf(kind)) == 1; }

bool Need::IsRequired() const { return test::IsRequired(kind_); }

std::string Need::Message() const {
    std::string text = std::string("needs ") + NameOf(kind_) + ": " + missing_;
    if (IsRequired()) text += std::string(" (required here: ") + VariableOf(kind_) + "=1)";
    return text;
}

std::string Need::NoteSkip() const {
    Skips& skips = TheSkips();
    std::lock_guard lock(skips.mutex);
    skips.declared.insert(CurrentTestName());
    return Message();
}

Need Tools(std::initializer_list<const char*> tools) {
    const std::string missing = MissingTools(tools);
    return Need(Requirement::Tools, missing.empty() ? missing : missing + " not installed");
}

Need Root(const char* why) {
    return Need(Requirement::Root, ::geteuid() == 0 ? std::string() : std::string(why));
}

Need DesktopTools(std::initializer_list<const char*> more) {
    std::string missing = MissingTools({"Xvfb", "xdotool", "xprop", "trayer"});
    const std::string others = MissingTools(more);
    if (!missing.empty() && !others.empty()) missing += ", ";
    missing += others;
    return Need(Requirement::Desktop, missing.empty() ? missing : missing + " not installed");
}

Need DesktopStarted(bool started, const char* what) {
    return Need(Requirement::Desktop, started ? std::string() : std::string(what));
}

int RunAllTests() {
    auto* listener = new SkipListener;  // owned by gtest's listener list
    ::testing::UnitTest::GetInstance()->listeners().Append(listener);
    int status = RUN_ALL_TESTS();
    for (const std::string& name : listener->undeclared) {
        std::printf("halvane-test: %s skipped without a declared need (use HV_NEEDS): a failure\n",
                    name.c_str());
        status = 1;
    }
    if (status == 0 && !listener->skipped.empty()) {
        for (const std::string& name : listener->skipped) std::printf("halvane-test: skipped %s\n", name.c_str());
        std::printf("halvane-test: %zu skipped, none failed\n", listener->skipped.size());
    }
    std::fflush(stdout);
    return status;
}

}  // namespace hv::test
