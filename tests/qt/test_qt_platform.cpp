// The Qt platform services that can be checked without a display: the single-instance lock,
// the clipboard round trip and line breaks.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <fcntl.h>
#include <grp.h>
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

// Sets an environment variable for one scope and puts back what was there.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            saved_ = old;
        }
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedVariable() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

using Place = SingleInstanceLock::Place;

TEST(SingleInstanceLock, DefaultPlacesAreTheSessionsRuntimeFolderThenTheHomeNeverTmp) {
    const std::string uid = std::to_string(geteuid());
    const std::string session = "/run/user/" + uid + "/quorna-fobit-reader.lock";
    const Place home{"/home/someone/.cache/quorna-fobit-reader/instance.lock", true, true};
    ScopedVariable homeVariable("HOME", "/home/someone/");
    {
        ScopedVariable runtime("XDG_RUNTIME_DIR", "/run/user/4242");
        EXPECT_EQ(SingleInstanceLock::defaultLockPlaces(),
                  (std::vector<Place>{
                      {"/run/user/4242/quorna-fobit-reader.lock", false}, {session, false}, home}));
    }
    {
        ScopedVariable runtime("XDG_RUNTIME_DIR", ("/run/user/" + uid).c_str());
        EXPECT_EQ(SingleInstanceLock::defaultLockPlaces(),
                  (std::vector<Place>{{session, false}, home}));
    }
    ScopedVariable runtime("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(SingleInstanceLock::defaultLockPlaces(),
              (std::vector<Place>{{session, false}, home}));
    ScopedVariable relativeHome("HOME", "relative");  // the account's own home then
    for (const auto& place : SingleInstanceLock::defaultLockPlaces()) {
        EXPECT_NE(place.lockPath.rfind("/tmp", 0), 0u) << place.lockPath;
        EXPECT_NE(place.lockPath.rfind("relative", 0), 0u) << place.lockPath;
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

// A place others could use is passed over for the next, silently, by every start alike: the
// second start still sees the first.
TEST_F(PrivateFolder, APlaceOthersCouldUseIsPassedOverForTheNext) {
    std::filesystem::create_directory(folder_ / "open");
    chmod((folder_ / "open").c_str(), 0777);
    int planted = holdLock(folder_ / "open" / "instance.lock");
    const std::vector<Place> places{
        {(folder_ / "open" / "instance.lock").string()},
        {(folder_ / "runtime" / "instance.lock").string(), false},
        {(folder_ / "cache" / "mine" / "instance.lock").string(), true, true}};
    SingleInstanceLock first(places);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(first.anotherInstanceRunning());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(first.lockPath(), places[2].lockPath);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "runtime"));  // not made: the system's to make
    EXPECT_EQ(std::filesystem::status(folder_ / "cache").permissions(),
              std::filesystem::perms::owner_all);

    SingleInstanceLock second(places);
    EXPECT_TRUE(second.anotherInstanceRunning());
    close(planted);
}

// A lock folder inside a folder others may write (not sticky) could be swapped for theirs.
TEST_F(PrivateFolder, ALockFolderOthersCanMoveIsNotTrusted) {
    std::filesystem::create_directories(folder_ / "open" / "mine");
    chmod((folder_ / "open").c_str(), 0777);
    chmod((folder_ / "open" / "mine").c_str(), 0700);
    auto [another, said] = askLock(folder_ / "open" / "mine" / "instance.lock");
    EXPECT_FALSE(another);
    EXPECT_NE(said.find("open can be written by others (mode 0777); running anyway"),
              std::string::npos)
        << said;
    chmod((folder_ / "open").c_str(), 01777);  // sticky, as /tmp: others cannot move it
    std::tie(another, said) = askLock(folder_ / "open" / "mine" / "instance.lock");
    EXPECT_FALSE(another);
    EXPECT_EQ(said, "");
}

// Two accounts of the machine: the intruder plants and holds what it can (the lock folder the
// program once used in /tmp, a runtime folder of its own named by the victim's environment);
// the victim's two starts still see each other, and neither says it runs anyway.
class AnotherAccount : public PrivateFolder {
protected:
    static constexpr uid_t kVictim = 64101;
    static constexpr uid_t kIntruder = 64102;

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "two other accounts need root to become";
        }
        PrivateFolder::SetUp();
        chmod(folder_.c_str(), 0755);
        oldPlace_ = "/tmp/quorna-fobit-reader-" + std::to_string(kVictim);
        std::filesystem::remove_all(oldPlace_);
    }
    void TearDown() override {
        for (pid_t child : children_) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (!oldPlace_.empty()) {
            std::filesystem::remove_all(oldPlace_);
        }
        PrivateFolder::TearDown();
    }

    // Runs `work` in a child process as `uid`; the child sends one character when it has done
    // it and then waits to be killed (keeping what it holds). Returns that character.
    char asAccount(uid_t uid, const std::function<char()>& work) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(ready[0]);
            char answer = 'x';
            if (setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0) {
                answer = work();
            }
            (void)!write(ready[1], &answer, 1);
            pause();
            _exit(0);
        }
        children_.push_back(child);
        close(ready[1]);
        char answer = 0;
        EXPECT_EQ(read(ready[0], &answer, 1), 1);
        close(ready[0]);
        return answer;
    }

    // A start of the victim's program as far as the single-instance test: 'a' alone (and silent),
    // 's' another instance seen, 'w' alone but with a warning (in folder_/said-<n>).
    char victimStart(int n, const char* runtimeDir) {
        const std::string said = (folder_ / ("said-" + std::to_string(n))).string();
        return asAccount(kVictim, [&] {
            runtimeDir ? setenv("XDG_RUNTIME_DIR", runtimeDir, 1) : unsetenv("XDG_RUNTIME_DIR");
            setenv("HOME", (folder_ / "home").c_str(), 1);
            const int out = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 2);
            auto* lock = new SingleInstanceLock;  // held until the process is killed
            const bool another = lock->anotherInstanceRunning();
            fflush(stderr);
            return another ? 's' : lseek(out, 0, SEEK_CUR) > 0 ? 'w' : 'a';
        });
    }

    std::string oldPlace_;
    std::vector<pid_t> children_;
};

TEST_F(AnotherAccount, PlantedLocksCannotMakeTheProgramRunTwice) {
    std::filesystem::create_directory(folder_ / "home");
    ASSERT_EQ(chown((folder_ / "home").c_str(), kVictim, kVictim), 0);
    std::filesystem::create_directory(folder_ / "intruder-runtime");
    ASSERT_EQ(chown((folder_ / "intruder-runtime").c_str(), kIntruder, kIntruder), 0);
    const std::string oldPlace = oldPlace_;
    const auto intruderRuntime = folder_ / "intruder-runtime";
    ASSERT_EQ(asAccount(kIntruder,
                        [&] {
                            mkdir(oldPlace.c_str(), 0777);
                            chmod(oldPlace.c_str(), 0777);
                            chmod(intruderRuntime.c_str(), 0777);
                            for (const std::string path :
                                 {oldPlace + "/instance.lock",
                                  (intruderRuntime / "quorna-fobit-reader.lock").string()}) {
                                const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
                                if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
                                    return 'x';
                                }
                            }
                            return 'y';
                        }),
              'y');

    EXPECT_EQ(victimStart(1, nullptr), 'a');
    EXPECT_EQ(victimStart(2, nullptr), 's');
    // The environment names the intruder's folder: passed over alike, by every start.
    EXPECT_EQ(victimStart(3, intruderRuntime.c_str()), 's');
    const auto held = folder_ / "home" / ".cache" / "quorna-fobit-reader" / "instance.lock";
    struct stat status {};
    ASSERT_EQ(stat(held.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kVictim);
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
