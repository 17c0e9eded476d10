// The audio server across processes with the real driver: audioserverd loads
// quillwave-driver, qwplay plays into "Quillwave", capture_probe captures its input side the way
// the bridge does, qwctl changes the device. Each test runs its own server in its own directory.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "audio_processes.h"

using namespace std::chrono_literals;

namespace {

constexpr double kRate = 48000;
// A level off the ramp's 1/32768 grid (0.25 + 2^-17): a ramp frame with it added stays exact in
// float and is told apart from a plain ramp frame, silence, or the level alone.
constexpr const char* kLevel = "0.25000762939453125";

double firstFrameTime(Child& player) {
    const auto line = player.waitForLine("first frame at output sample time", 10);
    EXPECT_TRUE(line) << player.output() << player.errors();
    return line ? std::stod(line->substr(line->rfind(' ') + 1)) : -1;
}

std::map<std::string, std::string> summaryOf(Child& probe, double seconds) {
    EXPECT_EQ(probe.wait(seconds), 0) << probe.output() << probe.errors();
    const auto line = probe.waitForLine("callbacks=", 1);
    EXPECT_TRUE(line) << probe.output();
    return line ? parseSummary(*line) : std::map<std::string, std::string>{};
}

Child startProbe(AudioServerRun& run, double seconds, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--seconds", std::to_string(seconds)};
    args.insert(args.end(), extra.begin(), extra.end());
    Child probe = run.start("probe", kProbePath, args);
    EXPECT_TRUE(probe.waitForLine("ready", 10)) << probe.output() << probe.errors();
    return probe;
}

TEST(AudioServerProcessesTest, ARampArrivesWholeInOrderAtTheInputTimeOfItsOutputTime) {
    AudioServerRun run;
    int status = -1;
    EXPECT_EQ(run.qwctl({"set-buffer", "256"}, &status), "256\n");
    Child probe = startProbe(run, 4);
    Child player = run.start("qwplay", kPlayPath, {"--ramp", "--seconds", "2", "--lead-ms", "200"});
    const double first = firstFrameTime(player);
    EXPECT_EQ(player.wait(10), 0) << player.output();
    EXPECT_NE(player.output().find("played 96000 frames, 0 underrun frames"), std::string::npos)
        << player.output();
    auto s = summaryOf(probe, 10);
    EXPECT_EQ(s["ramp"], "96000");
    EXPECT_EQ(s["first"], "0");
    EXPECT_EQ(s["last"], "95999");
    EXPECT_EQ(s["gaps"], "0");
    EXPECT_EQ(s["other"], "0");
    EXPECT_EQ(s["skipped"], "0");
    EXPECT_EQ(s["render_errors"], "0");
    // Frame n, played at output sample time first + n, is read back at input sample time
    // first + n: with zero latency and safety offset, two IO buffers after it was written.
    EXPECT_EQ(std::stod(s["offset"]), first);
    EXPECT_EQ(s["offset_changes"], "0");
    EXPECT_TRUE(run.server().running());
}

// With WriteMix only while a client plays (the platform leaves it open), the ring keeps what was
// played once the player has gone. At 192 kHz the ring spans 2 s: for seconds after the ramp
// the capture reads the ring frames where it lay, one and two laps later, and must get silence.
TEST(AudioServerProcessesTest, NoOldSoundComesBackOnceNobodyPlays) {
    AudioServerRun run("write-mix-while-idle=no");
    int status = -1;
    run.qwctl({"set-rate", "192000"}, &status);
    ASSERT_EQ(status, 0);
    Child probe = startProbe(run, 5.5);
    Child player = run.start("qwplay", kPlayPath, {"--ramp", "--seconds", "1", "--lead-ms", "200"});
    EXPECT_EQ(player.wait(10), 0) << player.output();
    auto s = summaryOf(probe, 12);
    EXPECT_EQ(s["ramp"], "192000");
    EXPECT_EQ(s["gaps"], "0");
    EXPECT_EQ(s["other"], "0");
    EXPECT_EQ(s["restarts"], "0");
    // Well over two laps of the ring were captured, nearly all of them silence.
    EXPECT_GT(std::stod(s["silent"]), 2.5 * 192000);
}

TEST(AudioServerProcessesTest, TwoAppsPlayingAtOnceAreSummed) {
    AudioServerRun run;
    Child probe = startProbe(run, 6, {"--constant", kLevel});
    Child ramp = run.start("ramp", kPlayPath, {"--ramp", "--seconds", "3", "--lead-ms", "200"});
    firstFrameTime(ramp);
    Child level =
        run.start("level", kPlayPath, {"--constant", kLevel, "--seconds", "1", "--lead-ms", "200"});
    EXPECT_EQ(level.wait(10), 0) << level.output();
    EXPECT_EQ(ramp.wait(10), 0) << ramp.output();
    auto s = summaryOf(probe, 10);
    EXPECT_EQ(s["ramp"], "144000");
    EXPECT_EQ(s["gaps"], "0");
    EXPECT_EQ(s["other"], "0");
    // One unbroken second of the level, added onto the ramp frame by frame.
    EXPECT_EQ(s["with_constant"], "48000");
    EXPECT_EQ(s["constant_runs"], "1");
}

TEST(AudioServerProcessesTest, ARateChangeRequestedByAClientReachesTheDriverAndIORestarts) {
    AudioServerRun run;
    Child probe = startProbe(run, 2.5);
    std::this_thread::sleep_for(500ms);
    int status = -1;
    run.qwctl({"set-rate", "44100"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run.qwctl({"get-rate"}), "44100\n");
    EXPECT_NE(run.qwctl({"list"}).find("rate=44100"), std::string::npos);
    auto s = summaryOf(probe, 10);
    EXPECT_EQ(s["restarts"], "1");  // one fresh start of the device's timeline
    // Capture went on at the new rate: at least a second's worth after the change.
    EXPECT_GT(std::stod(s["frames"]), 0.5 * kRate + 1.0 * 44100);
    // The server found the driver through its bundle's Info.plist.
    const std::string log = run.server().errors();
    EXPECT_NE(log.find("loaded plug-in quillwave-driver.driver (factory QWV_Create)"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("configuration change 44100 performed on quillwave-driver.driver"),
              std::string::npos)
        << log;
    // A rate the device does not offer is refused by the driver.
    run.qwctl({"set-rate", "22050"}, &status);
    EXPECT_EQ(status, 1);
}

TEST(AudioServerProcessesTest, KillingACaptureClientMidStreamLeavesTheServerAndOthersRunning) {
    AudioServerRun run;
    Child victim = startProbe(run, 10);
    Child probe = startProbe(run, 4);
    Child player = run.start("qwplay", kPlayPath, {"--ramp", "--seconds", "2", "--lead-ms", "200"});
    firstFrameTime(player);
    std::this_thread::sleep_for(300ms);
    victim.kill(SIGKILL);
    EXPECT_EQ(victim.wait(5), -SIGKILL);
    EXPECT_EQ(player.wait(10), 0);
    auto s = summaryOf(probe, 10);
    EXPECT_EQ(s["ramp"], "96000");
    EXPECT_EQ(s["gaps"], "0");
    EXPECT_TRUE(run.server().running());
    EXPECT_NE(run.qwctl({"list"}).find("\"Quillwave\""), std::string::npos);
}

TEST(AudioServerProcessesTest, KillingAPlayingAppMidStreamLeavesTheServerAndOthersRunning) {
    AudioServerRun run;
    Child victim = run.start("victim", kPlayPath, {"--constant", kLevel, "--lead-ms", "200"});
    ASSERT_TRUE(victim.waitForLine("first frame", 10));
    Child probe = startProbe(run, 4, {"--constant", kLevel});
    Child player = run.start("qwplay", kPlayPath, {"--ramp", "--seconds", "2", "--lead-ms", "200"});
    firstFrameTime(player);
    std::this_thread::sleep_for(500ms);
    victim.kill(SIGKILL);
    EXPECT_EQ(victim.wait(5), -SIGKILL);
    EXPECT_EQ(player.wait(10), 0);
    auto s = summaryOf(probe, 10);
    EXPECT_EQ(s["ramp"], "96000");  // each frame with or without the level, none lost
    EXPECT_EQ(s["gaps"], "0");
    EXPECT_EQ(s["constant_runs"], "1");  // the level stopped once, for good
    EXPECT_GT(std::stod(s["with_constant"]), 0.4 * kRate);
    EXPECT_LT(std::stod(s["with_constant"]), 96000);
    EXPECT_TRUE(run.server().running());
}

TEST(AudioServerProcessesTest, AStalledServerCatchesUpWithoutLosingAFrame) {
    AudioServerRun run;
    Child probe = startProbe(run, 5);
    Child player = run.start("qwplay", kPlayPath, {"--ramp", "--seconds", "3", "--lead-ms", "300"});
    firstFrameTime(player);
    std::this_thread::sleep_for(500ms);
    run.server().kill(SIGSTOP);  // a stall of about 80 ms
    std::this_thread::sleep_for(80ms);
    run.server().kill(SIGCONT);
    EXPECT_EQ(player.wait(10), 0);
    auto s = summaryOf(probe, 10);
    EXPECT_EQ(s["ramp"], "144000");
    EXPECT_EQ(s["gaps"], "0");
    EXPECT_EQ(s["offset_changes"], "0");
    EXPECT_EQ(s["skipped"], "0");
    const std::string stats = run.qwctl({"stats"});
    const auto counts = parseSummary(stats.substr(0, stats.find('\n')));
    EXPECT_GE(std::stoi(counts.at("catch-up")), 5) << stats;
    EXPECT_EQ(counts.at("restarts"), "0");
}

TEST(AudioServerProcessesTest, WithNoServerTheToolsFindNoDeviceAtOnce) {
    char dir[] = "/tmp/qw-noserver-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("QW_AUDIO_SERVER_SOCKET", (std::string(dir) + "/none.sock").c_str(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    Child list(dir, "list", kCtlPath, {"list"});
    EXPECT_EQ(list.wait(5), 0);
    EXPECT_EQ(list.output(), "no devices\n");
    Child play(dir, "play", kPlayPath, {"--sine", "440"});
    EXPECT_EQ(play.wait(5), 1);
    EXPECT_EQ(play.output(), "qwplay: no device \"Quillwave\"\n");
    Child probe(dir, "probe", kProbePath, {});
    EXPECT_EQ(probe.wait(5), 1);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace
