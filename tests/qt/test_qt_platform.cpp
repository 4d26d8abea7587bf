// The Qt platform services that can be checked without a display: the single-instance lock,
// the clipboard round trip and line breaks.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/qt/QtServices.h"
#include "platform/qt/SingleInstanceLock.h"

namespace {

using quorna::platform::qt::SingleInstanceLock;

// A folder of the test's own, private as the lock wants it.
class PrivateFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = (std::filesystem::temp_directory_path() / "quorna-lock-XXXXXX").string();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        folder_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::filesystem::path folder_;
};

TEST_F(PrivateFolder, FirstHolderRunsAloneAndSecondSeesIt) {
    const auto path = (folder_ / "instance.lock").string();
    {
        SingleInstanceLock first(path);
        EXPECT_FALSE(first.anotherInstanceRunning());
        EXPECT_FALSE(first.anotherInstanceRunning());  // asking again does not see itself

        SingleInstanceLock second(path);
        EXPECT_TRUE(second.anotherInstanceRunning());
    }
    SingleInstanceLock afterwards(path);
    EXPECT_FALSE(afterwards.anotherInstanceRunning());
}

// A holder killed without any clean-up leaves its lock file behind; the next start still runs.
TEST_F(PrivateFolder, SurvivesACrashedHolder) {
    const auto path = (folder_ / "instance.lock").string();
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
}

TEST(SingleInstanceLock, DefaultLivesInTheSessionRuntimeFolder) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(SingleInstanceLock::defaultLockPath(), "/run/user/4242/quorna-fobit-reader.lock");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstanceLock::defaultLockPath(),
              "/tmp/quorna-fobit-reader-" + std::to_string(getuid()) + "/instance.lock");
    if (saved) {
        setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    }
}

// Another process holding the lock at `path`, as someone else on the machine could.
int holdLock(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    return fd;
}

// A second start asks the holder to show its window, with its Wayland activation token; the
// holder answers from its event loop. Without a holder listening the second start says so.
TEST_F(PrivateFolder, ASecondStartAsksTheHolderToShowItsWindow) {
    const auto path = (folder_ / "instance.lock").string();
    auto first = std::make_unique<SingleInstanceLock>(path);
    std::vector<std::string> requests;
    first->onShowRequest([&](const std::string& token) { requests.push_back(token); });
    ASSERT_FALSE(first->anotherInstanceRunning());
    const auto socketPath = first->showSocketPath();
    EXPECT_TRUE(std::filesystem::is_socket(socketPath));

    SingleInstanceLock second(path);
    ASSERT_TRUE(second.anotherInstanceRunning());
    for (const char* token : {"", "token-1"}) {
        qputenv("XDG_ACTIVATION_TOKEN", token);
        std::string said;
        std::thread start([&] {
            testing::internal::CaptureStderr();
            second.showRunningInstance();
            said = testing::internal::GetCapturedStderr();
        });
        QElapsedTimer waited;
        waited.start();
        while (requests.size() < (token[0] ? 2u : 1u) && waited.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        start.join();
        EXPECT_EQ(said, "");
    }
    qunsetenv("XDG_ACTIVATION_TOKEN");
    EXPECT_EQ(requests, (std::vector<std::string>{"", "token-1"}));

    first.reset();  // the holder ends: its socket goes with it
    EXPECT_FALSE(std::filesystem::exists(socketPath));
}

TEST_F(PrivateFolder, ASecondStartThatCannotReachTheHolderSaysSo) {
    const auto path = (folder_ / "instance.lock").string();
    int holder = holdLock(path);  // a holder that does not listen
    SingleInstanceLock second(path);
    ASSERT_TRUE(second.anotherInstanceRunning());
    testing::internal::CaptureStderr();
    second.showRunningInstance();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("could not be asked to show its window"), std::string::npos) << said;
    close(holder);
}

// Whether another instance runs, and what the lock said on standard error.
std::pair<bool, std::string> askLock(const std::string& path) {
    SingleInstanceLock lock(path);
    testing::internal::CaptureStderr();
    bool another = lock.anotherInstanceRunning();
    return {another, testing::internal::GetCapturedStderr()};
}

TEST_F(PrivateFolder, ALockOthersCouldHaveMadeIsNotTakenAsOurs) {
    // A folder anyone can write in: someone else's lock there must not stop the program.
    chmod(folder_.c_str(), 0777);
    int other = holdLock(folder_ / "a.lock");
    auto [another, said] = askLock(folder_ / "a.lock");
    EXPECT_FALSE(another);
    EXPECT_NE(said.find("can be written by others (mode 0777); running anyway"), std::string::npos)
        << said;
    close(other);

    // The user's own folder, but a lock file of another owner in it.
    chmod(folder_.c_str(), 0700);
    other = holdLock(folder_ / "b.lock");
    if (fchown(other, 65534, 65534) != 0) {
        close(other);
        GTEST_SKIP() << "a file of another owner needs root to make";
    }
    std::tie(another, said) = askLock(folder_ / "b.lock");
    EXPECT_FALSE(another);
    EXPECT_NE(said.find("belongs to user 65534"), std::string::npos) << said;
    close(other);
}

TEST_F(PrivateFolder, AMissingLockFolderIsMadePrivate) {
    const auto path = (folder_ / "made" / "instance.lock").string();
    SingleInstanceLock first(path);
    EXPECT_FALSE(first.anotherInstanceRunning());
    EXPECT_EQ(std::filesystem::status(folder_ / "made").permissions(),
              std::filesystem::perms::owner_all);
    EXPECT_TRUE(askLock(path).first);
}

TEST_F(PrivateFolder, ALockThatCannotBeTakenLetsTheProgramRunAndSaysWhy) {
    std::filesystem::create_directory(folder_ / "a-folder");
    for (const auto& path : {folder_ / "a-folder", folder_ / "no" / "such" / "instance.lock"}) {
        auto [another, said] = askLock(path);
        EXPECT_FALSE(another);
        EXPECT_NE(said.find("cannot tell whether another instance runs"), std::string::npos)
            << said;
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
