// The Qt platform services that can be checked without a display: the single-instance lock,
// the clipboard round trip and line breaks.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/qt/QtServices.h"
#include "platform/qt/SingleInstanceLock.h"

namespace {

using quorna::platform::qt::SingleInstanceLock;

std::string freshLockPath() {
    static int counter = 0;
    const auto path =
        std::filesystem::temp_directory_path() / ("quorna-lock-test-" + std::to_string(getpid()) +
                                                  "-" + std::to_string(++counter) + ".lock");
    std::filesystem::remove(path);
    return path.string();
}

TEST(SingleInstanceLock, FirstHolderRunsAloneAndSecondSeesIt) {
    const auto path = freshLockPath();
    {
        SingleInstanceLock first(path);
        EXPECT_FALSE(first.anotherInstanceRunning());
        EXPECT_FALSE(first.anotherInstanceRunning());  // asking again does not see itself

        SingleInstanceLock second(path);
        EXPECT_TRUE(second.anotherInstanceRunning());
    }
    SingleInstanceLock afterwards(path);
    EXPECT_FALSE(afterwards.anotherInstanceRunning());
    std::filesystem::remove(path);
}

// A holder killed without any clean-up leaves its lock file behind; the next start still runs.
TEST(SingleInstanceLock, SurvivesACrashedHolder) {
    const auto path = freshLockPath();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstanceLock holder(path);
        const char answer = holder.anotherInstanceRunning() ? 'n' : 'y';
        (void)!write(ready[1], &answer, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    EXPECT_EQ(answer, 'y');

    SingleInstanceLock whileHeld(path);
    EXPECT_TRUE(whileHeld.anotherInstanceRunning());

    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(std::filesystem::exists(path));

    SingleInstanceLock afterCrash(path);
    EXPECT_FALSE(afterCrash.anotherInstanceRunning());
    std::filesystem::remove(path);
}

TEST(SingleInstanceLock, DefaultLivesInTheSessionRuntimeFolder) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(SingleInstanceLock::defaultLockPath(), "/run/user/4242/quorna-fobit-reader.lock");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstanceLock::defaultLockPath(),
              "/tmp/quorna-fobit-reader-" + std::to_string(getuid()) + ".lock");
    if (saved) {
        setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    }
}

TEST(QtClipboard, PlainTextRoundTrip) {
    quorna::platform::qt::QtClipboard clipboard;
    clipboard.setText("01000001FE0000CB");
    EXPECT_EQ(clipboard.text(), "01000001FE0000CB");
    clipboard.clear();
    EXPECT_EQ(clipboard.text(), "");
}

TEST(QtLineBreaks, CrLfBecomesOneBreakAndLoneCharactersStay) {
    using quorna::platform::qt::toQtLineBreaks;
    EXPECT_EQ(toQtLineBreaks("a\r\nb"), "a\nb");
    EXPECT_EQ(toQtLineBreaks("a\r\n\r\nb"), "a\n\nb");
    EXPECT_EQ(toQtLineBreaks("a\rb\n"), "a\rb\n");
    EXPECT_EQ(toQtLineBreaks("end\r"), "end\r");
}

}  // namespace
