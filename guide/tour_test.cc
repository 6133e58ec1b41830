#include <signal.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "harness.h"
#include "svg.h"

namespace kit {
namespace {

using TourTest = Sandbox;
constexpr Duration kScene = 60s;

std::string contents(const std::string& path) {
  std::stringstream all;
  all << std::ifstream(path).rdbuf();
  return all.str();
}

// The tour, playing one scene and drawing it into "drawn".
Options drawing(const std::string& scene) {
  return {.io = Io::Pipes, .args = {"--draw", "drawn", scene}};
}

std::vector<Element> picture(const std::string& scene) {
  auto svg = parse_svg(contents("drawn/" + scene + ".svg"));
  EXPECT_TRUE(svg) << "drawn/" << scene << ".svg is not well formed";
  return svg ? *svg : std::vector<Element>{};
}

TEST_F(TourTest, SemaphoreScenePictureShowsTheWaiterAndTheValue) {
  Process tour("tour", drawing("semaphores"));
  ASSERT_EQ(tour.wait_exit(kScene).status, 0) << tour.errors();
  // Printed as it happened: the waiter let through between the two keys.
  std::string printed = tour.output();
  if (geteuid() == 0) {
    EXPECT_EQ(count(printed, "  ipcwatch          :   id 0  owner root  mode 0660\n"), 2)
        << printed;
  }
  size_t typed = printed.find("-- types Enter into gatepost\n");
  size_t through = printed.find("gatewait          | I got semaphore\n");
  size_t more = printed.find("-- types a, b and Enter");
  EXPECT_TRUE(typed < through && through < more && more != std::string::npos) << printed;
  auto svg = picture("semaphores");
  EXPECT_EQ(of_class(svg, "lane", "data-lane", "gatewait").size(), 1u);
  EXPECT_EQ(of_class(svg, "lane", "data-lane", "gatepost").size(), 1u);

  auto keys = of_class(svg, "key", "data-to", "gatepost");
  ASSERT_FALSE(keys.empty());
  double enter = keys[0].number("data-at");
  auto states = of_class(svg, "state", "data-lane", "gatewait");
  auto at_enter = std::find_if(states.begin(), states.end(),
                               [&](const Element& s) { return s.number("data-to") > enter; });
  ASSERT_TRUE(at_enter != states.end() && at_enter + 1 != states.end());
  EXPECT_EQ(at_enter->attributes["data-state"], "asleep");
  EXPECT_EQ(at_enter->attributes["data-call"], "semop");
  EXPECT_EQ((at_enter + 1)->attributes["data-state"], "running") << "right after the Enter";

  auto values = of_class(svg, "semaphore", "data-present", "yes");
  ASSERT_FALSE(values.empty());
  bool blocked_shown = std::any_of(values.begin(), values.end(), [&](const Element& v) {
    return v.attributes.at("data-value") == "0" && v.attributes.at("data-waiting") == "1" &&
           v.number("data-from") < enter && v.number("data-to") > at_enter->number("data-from");
  });
  EXPECT_TRUE(blocked_shown) << "value 0 with 1 waiting while gatewait is blocked";
  EXPECT_EQ(values.back().attributes["data-value"], "1") << "after the post with no waiter";
  EXPECT_EQ(values.back().attributes["data-waiting"], "0");

  auto ends = of_class(svg, "end", "data-lane", "gatewait");
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].attributes["data-how"], "SIGINT");
  // Ended by Ctrl-C in its wait, which it never saw fail.
  auto waits = of_class(svg, "call", "data-lane", "gatewait");
  ASSERT_FALSE(waits.empty());
  EXPECT_EQ(waits.back().attributes["data-call"], "semop");
  EXPECT_EQ(waits.back().attributes["data-result"], "cut");
  // The page says what its pictures show, and links each picture's file and
  // its place on the page.
  std::string page = contents("drawn/index.html");
  EXPECT_EQ(
      count(page,
            "<h1>The kit's scenes, drawn</h1>\n<p>Each picture is one scene of the tour as it "
            "happened: a lane per program, its state read from /proc as it played, the lines "
            "it printed, what you typed and sent, and the kernel object it worked on; where "
            "the programs were traced, also each call that passed something between them. "
            "Hover over a mark for its whole text.</p>"),
      1);
  EXPECT_EQ(count(page, "<a href=\"semaphores.svg\">"), 1);
  EXPECT_EQ(count(page, "<a href=\"#semaphores\">"), 1);
  EXPECT_EQ(count(page, "<section id=\"semaphores\">"), 1);

  // Traced: each post whose unit gatewait took (Enter, then a, b and Enter)
  // is an arrow from gatepost's +1 to the return of one of gatewait's takes:
  // it let gatewait through, or gatewait found the unit there when it came
  // back. Each unit shows on the track, however briefly it lived.
  auto let_through = of_class(svg, "arrow", "data-kind", "lets-through");
  auto given = of_class(svg, "arrow", "data-kind", "gives");
  let_through.insert(let_through.end(), given.begin(), given.end());
  ASSERT_EQ(let_through.size(), 4u);
  EXPECT_FALSE(of_class(svg, "arrow", "data-label", "lets gatewait through").empty());
  auto posts = of_class(svg, "call", "data-text", "+1");
  EXPECT_EQ(posts.size(), 5u) << "four posts let it through, one is kept";
  for (auto& arrow : let_through) {
    EXPECT_EQ(arrow.attributes["data-from-lane"], "gatepost");
    auto waits = of_class(svg, "call", "data-lane", "gatewait");
    EXPECT_TRUE(std::any_of(waits.begin(), waits.end(), [&](const Element& w) {
      return w.attributes.at("data-text") == "−1" &&
             w.number("data-until") == arrow.number("data-to");
    })) << "an arrow ends at a return of gatewait's semop";
    EXPECT_TRUE(std::any_of(values.begin(), values.end(),
                            [&](const Element& v) {
                              return v.number("data-from") == arrow.number("data-from") &&
                                     v.attributes.at("data-value") != "0";
                            }))
        << "the unit given at " << arrow.number("data-from");
  }
}

// Under the real keys, which are this test's own: the free key is used,
// and the set is gone after.
TEST_F(TourTest, TurnstilePictureNeverShowsTheLockHeldTwice) {
  Process tour("tour", {.io = Io::Pipes, .args = {"--real-keys", "--draw", "drawn", "turnstile"}});
  ASSERT_EQ(tour.wait_exit(kScene).status, 0) << tour.errors();
  EXPECT_EQ(tour.output().rfind("Scenes use the host's real keys", 0), 0u);
  EXPECT_LT(semget(1234, 0, 0), 0);
  auto svg = picture("turnstile");
  // Each copy's spans between a "got" line and its next "released" line,
  // as (moment, place in the record) pairs.
  using Moment = std::pair<double, double>;
  std::vector<std::pair<Moment, Moment>> held[2];
  for (int copy : {0, 1}) {
    std::optional<Moment> got;
    for (auto& line : of_class(svg, "line", "data-lane", "turnstile " + std::to_string(copy + 1))) {
      Moment when{line.number("data-at"), line.number("data-seq")};
      if (line.attributes["data-text"].ends_with(":got the semaphore")) got = when;
      if (line.attributes["data-text"].ends_with(":released the semapore") && got)
        held[copy].push_back({*got, when}), got.reset();
    }
  }
  EXPECT_EQ(held[0].size(), 6u);
  EXPECT_EQ(held[1].size(), 6u);
  for (auto& one : held[0])
    for (auto& two : held[1])
      EXPECT_FALSE(one.first < two.second && two.first < one.second)
          << "both held at " << one.first.first << " and " << two.first.first;
  EXPECT_FALSE(of_class(svg, "state", "data-lane", "turnstile 1").empty());
  auto stopped = of_class(svg, "state", "data-state", "stopped");
  ASSERT_EQ(stopped.size(), 2u) << "in its rest, and while it waits";
  EXPECT_EQ(stopped[1].attributes["data-lane"], "turnstile 1");
  std::string printed = tour.output();
  EXPECT_LT(printed.find("Semaphore deleted"), printed.find("Failed to delete the semaphore"));

  // The bands of who holds the lock, from each take to its release, traced:
  // six each, never at once.
  std::vector<Element> bands[2];
  for (int copy : {0, 1})
    for (auto& band : of_class(svg, "band", "data-kind", "holds"))
      if (band.attributes["data-lane"] == "turnstile " + std::to_string(copy + 1))
        bands[copy].push_back(band);
  EXPECT_EQ(bands[0].size(), 6u);
  EXPECT_EQ(bands[1].size(), 6u);
  for (auto& one : bands[0])
    for (auto& two : bands[1])
      EXPECT_FALSE(one.number("data-from") < two.number("data-to") &&
                   two.number("data-from") < one.number("data-to"))
          << "both held at " << one.number("data-from");
  // Stopped while it waited: the take failed with EINTR and was made again.
  auto failed = of_class(svg, "call", "data-result", "EINTR");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].attributes["data-lane"], "turnstile 1");
  EXPECT_EQ(count(printed, "Failed to get"), 0);
}

// What each end of the pipes and the segment held, as the pictures show it,
// and what the person did, as the tour prints it.
TEST_F(TourTest, PipesAndSegmentPicturesShowWhoHeldWhat) {
  Process tour("tour", {.io = Io::Pipes, .args = {"--draw", "drawn", "pipes", "segment"}});
  ASSERT_EQ(tour.wait_exit(kScene).status, 0) << tour.errors();
  EXPECT_EQ(count(tour.output(), "  -- types \"bye\" and Enter into pipechat\n"), 1);
  auto pipes = picture("pipes");
  EXPECT_FALSE(of_class(pipes, "fifo", "data-writers", "pipechat").empty());
  auto served = of_class(pipes, "fifo", "data-text", "pipechat-server");
  ASSERT_FALSE(served.empty());
  EXPECT_EQ(served[0].attributes["data-name"], "srvfifo") << "the server reads srvfifo";
  auto answered = of_class(pipes, "fifo", "data-text", "pipechat");
  ASSERT_FALSE(answered.empty());
  EXPECT_EQ(answered[0].attributes["data-name"], "clififo") << "the client reads clififo";
  EXPECT_LT(of_class(pipes, "fifo", "data-name", "srvfifo").size(), 10u) << "a box per change";
  EXPECT_EQ(count(contents("drawn/pipes.svg"), ">pid 0<"), 0) << "the person has no pid";
  // Each message and each reply, from its write to the read that took it.
  std::vector<std::string> carried;
  for (auto& arrow : of_class(pipes, "arrow", "data-kind", "message"))
    carried.push_back(arrow.attributes["data-from-lane"] + ": " + arrow.attributes["data-label"]);
  EXPECT_EQ(carried,
            (std::vector<std::string>{"pipechat: \"hello, server\\n\\0\" through srvfifo",
                                      "pipechat-server: \"HELLO, SERVER\\0\" through clififo",
                                      "pipechat: \"bye\\n\\0\" through srvfifo",
                                      "pipechat-server: \"BYE\\0\" through clififo"}));
  EXPECT_FALSE(of_class(pipes, "rendezvous", "data-fifo", "srvfifo").empty());
  // Each meeting joins the two lanes whose opens it completed.
  for (size_t i = 0; i < pipes.size(); i++) {
    if (!pipes[i].is("rendezvous")) continue;
    while (pipes[i].name != "line") i++;
    EXPECT_GT(std::abs(pipes[i].number("y2") - pipes[i].number("y1")), 10) << i;
  }
  std::vector<std::string> made;
  for (auto& call : of_class(pipes, "call", "data-call", "mkfifo"))
    made.push_back(call.attributes["data-lane"] + " " + call.attributes["data-target"]);
  EXPECT_EQ(made, (std::vector<std::string>{"pipechat-server srvfifo", "pipechat clififo"}));
  // Each open says which end it asks for.
  std::set<std::string> opens;
  for (auto& call : of_class(pipes, "call", "data-call", "open"))
    opens.insert(call.attributes["data-lane"] + " " + call.attributes["data-text"]);
  EXPECT_EQ(opens,
            (std::set<std::string>{"pipechat clififo for reading", "pipechat srvfifo for writing",
                                   "pipechat-server clififo for writing",
                                   "pipechat-server srvfifo for reading"}));

  auto segment = picture("segment");
  EXPECT_EQ(of_class(segment, "segment", "data-text", "tolvane").size(), 1u);
  EXPECT_EQ(of_class(segment, "segment", "data-text", "Aloha").size(), 1u);
  std::vector<std::string> ticks;
  for (auto& e : segment)
    if (e.name == "text" && e.text.size() > 2 && e.text.ends_with(" s") && isdigit(e.text[0]))
      ticks.push_back(e.text);
  EXPECT_TRUE(ticks.size() >= 4 && ticks.size() <= 16) << ticks.size() << " seconds on the axis";
  EXPECT_EQ(ticks.at(0), "0 s") << "the axis starts with the scene";
  auto seen = of_class(segment, "arrow", "data-kind", "sees");
  ASSERT_EQ(seen.size(), 1u) << "the look that saw the answer";
  EXPECT_EQ(seen[0].attributes["data-to-lane"], "slatewatch");
  EXPECT_EQ(seen[0].attributes["data-from-lane"], "segment") << "from the segment's track";
  EXPECT_GT(seen[0].number("data-to"), seen[0].number("data-from"));
}

// The scenes not drawn above: each checks what its programs show, and the
// pictures show the child, the signals and the handler.
TEST_F(TourTest, TheProcessAndLibraryScenesPlayTrue) {
  Process tour("tour",
               {.io = Io::Pipes, .args = {"--draw", "drawn", "fork", "pause", "catcher", "mean"}});
  EXPECT_EQ(tour.wait_exit(kScene).status, 0) << tour.errors();
  std::string printed = tour.output();
  EXPECT_TRUE(printed.starts_with("Scenes run in a private IPC namespace")) << printed;
  EXPECT_EQ(count(printed, "tour: 4 scenes played in "), 1) << printed;
  EXPECT_TRUE(printed.ends_with(" s\ntour: pictures in drawn/index.html\n")) << printed;

  auto fork = picture("fork");
  for (std::string run : {"fork", "fork | cat"}) {
    auto child = of_class(fork, "lane", "data-lane", run + "'s child");
    ASSERT_EQ(child.size(), 1u) << run;
    auto parent = of_class(fork, "lane", "data-lane", run);
    EXPECT_EQ(child[0].attributes["data-parent"], run);
    EXPECT_GT(child[0].number("data-pid"), parent.at(0).number("data-pid"));
    auto made = of_class(fork, "arrow", "data-kind", "fork");
    EXPECT_TRUE(std::any_of(made.begin(), made.end(), [&](const Element& a) {
      return a.attributes.at("data-label") == "fork: pid " + child[0].attributes["data-pid"];
    }));
  }
  // Into a pipe the child writes its copy of the buffer, first line and all.
  auto writes = of_class(fork, "call", "data-lane", "fork | cat's child");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].attributes["data-text"].rfind("\"this is first step\\n0\\n", 0), 0u)
      << writes[0].attributes["data-text"];

  // The second signal 4 waits while the first handler runs, and each handler
  // runs until its rt_sigreturn.
  auto catcher = picture("catcher");
  auto delivered = of_class(catcher, "delivery", "data-signal", "SIGILL");
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(count(contents("drawn/catcher.svg"), ">SIGILL delivered: handled<"), 2);
  auto pending = of_class(catcher, "band", "data-kind", "pending");
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].number("data-to"), delivered[1].number("data-at"));
  auto handlers = of_class(catcher, "band", "data-kind", "handler");
  auto returns = of_class(catcher, "call", "data-call", "rt_sigreturn");
  ASSERT_EQ(handlers.size(), 2u);
  ASSERT_EQ(returns.size(), 2u);
  for (int i : {0, 1}) {
    EXPECT_EQ(handlers[i].number("data-from"), delivered[i].number("data-at"));
    EXPECT_EQ(handlers[i].number("data-to"), returns[i].number("data-at"));
  }
  EXPECT_EQ(pending[0].number("data-to"), handlers[1].number("data-from"));
  // The loop's sleep that the first signal cut short fails as the program
  // sees it: EINTR, though the kernel first meant to restart it.
  auto sleeps_cut = of_class(catcher, "call", "data-result", "EINTR");
  ASSERT_EQ(sleeps_cut.size(), 1u);
  EXPECT_EQ(sleeps_cut[0].attributes["data-text"], "1 s");
  EXPECT_LE(sleeps_cut[0].number("data-until"), delivered[0].number("data-at"));

  // pause sleeps on through an ignored signal; into a pipe its line dies.
  auto pause = picture("pause");
  auto winch = of_class(pause, "delivery", "data-signal", "SIGWINCH");
  ASSERT_EQ(winch.size(), 1u);
  EXPECT_EQ(count(contents("drawn/pause.svg"), ">SIGWINCH delivered: ignored<"), 1);
  auto sleeps = of_class(pause, "call", "data-call", "pause");
  ASSERT_EQ(sleeps.size(), 2u) << "one pause each, going on through the signal";
  EXPECT_LT(sleeps[0].number("data-at"), winch[0].number("data-at"));
  EXPECT_EQ(sleeps[0].attributes["data-result"], "cut");
  EXPECT_EQ(count(contents("drawn/pause.svg"), "SIGINT: its line died in the buffer"), 1);

  // The build of means.c runs its tools by exec, each named by its path.
  auto runs = of_class(picture("mean"), "call", "data-call", "execve");
  EXPECT_TRUE(std::any_of(runs.begin(), runs.end(), [](const Element& run) {
    return run.attributes.at("data-text").ends_with("/pkg-config");
  }));
}

// Lines by program, with numbers (pids, times, ids) made alike, sorted: on
// a terminal fork's parent and child print in either order.
std::map<std::string, std::vector<std::string>> lines_by_program(const std::string& printed) {
  std::map<std::string, std::vector<std::string>> found;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 22 || !line.starts_with("  ") || line[2] == ' ') continue;
    std::string shown;
    for (char c : line) {
      if (!isdigit(static_cast<unsigned char>(c)))
        shown += c;
      else if (shown.empty() || shown.back() != '#')
        shown += '#';
    }
    std::string who = line.starts_with("  -- ") ? "tour" : shown.substr(2, 18);
    found[who].push_back(shown);
  }
  for (auto& [who, lines] : found) std::sort(lines.begin(), lines.end());
  return found;
}

// Tracing changes nothing a learner sees: every scene prints the same lines
// and passes the same checks, traced and sampled.
// What the tour says it does in `scene`, as guide/tour_narration.txt holds
// it, sorted as lines_by_program sorts.
std::vector<std::string> narration_of(const std::string& scene) {
  std::ifstream file(KIT_SOURCE_DIR "/guide/tour_narration.txt");
  std::vector<std::string> said;
  bool in = false;
  for (std::string line; std::getline(file, line);)
    if (line.starts_with("== "))
      in = line == "== " + scene + " ==";
    else if (in)
      said.push_back("  -- " + line);
  std::sort(said.begin(), said.end());
  return said;
}

std::vector<std::string> narrated(const std::string& printed) {
  std::vector<std::string> said;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with("  -- ")) said.push_back(line);
  std::sort(said.begin(), said.end());
  return said;
}

// One scene at a time, so that the scenes play side by side. Both ways the
// tour says what it does in the same words, those of its narration.
class TracedAndSampled : public Sandbox, public ::testing::WithParamInterface<const char*> {};

TEST_P(TracedAndSampled, PrintTheSame) {
  std::string scene = GetParam();
  // A sanitizer build's leak check stops a program at its exit with a task
  // that shares its memory, the segment too, and shows in a look. The traced
  // tour turns it off; so the sampled one does too, to look alike.
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  Process traced("tour", {.io = Io::Pipes, .args = {"--draw", "traced", scene}});
  Process sampled("tour", {.io = Io::Pipes, .args = {"--sampled", "--draw", "sampled", scene}});
  ASSERT_EQ(traced.wait_exit(90s).status, 0) << traced.errors();
  ASSERT_EQ(sampled.wait_exit(90s).status, 0) << sampled.errors();
  auto seen = lines_by_program(traced.output()), looked = lines_by_program(sampled.output());
  EXPECT_EQ(seen.size(), looked.size());
  for (auto& [who, lines] : seen) EXPECT_EQ(lines, looked[who]) << who;
  EXPECT_EQ(narrated(traced.output()), narration_of(scene));
  EXPECT_EQ(narrated(sampled.output()), narration_of(scene));
  // The sampled pictures say so, and draw nothing that only tracing sees.
  std::string drawn = contents("sampled/" + scene + ".svg");
  EXPECT_EQ(count(drawn, "data-traced=\"no\""), 1);
  EXPECT_EQ(count(drawn, "Sampled from /proc every few milliseconds (--sampled)"), 1);
  EXPECT_EQ(count(drawn, "class=\"call\""), 0);
  EXPECT_EQ(count(contents("traced/" + scene + ".svg"), "data-traced=\"yes\""), 1);
}

INSTANTIATE_TEST_SUITE_P(EveryScene, TracedAndSampled,
                         ::testing::Values("semaphores", "turnstile", "pipes", "segment", "fork",
                                           "catcher", "pause", "mean"),
                         [](const auto& scene) { return std::string(scene.param); });

// Asked to stop mid-scene, the tour ends the scene's programs, removes the
// set it made and its scratch folder, draws what was played, and ends as
// the signal would end it. Out of descriptors, it says so in one line.
TEST_F(TourTest, AStoppedTourLeavesNothingBehind) {
  ASSERT_EQ(mkdir("scratch", 0755), 0);
  setenv("TMPDIR", (dir_ + "/scratch").c_str(), 1);
  auto left = [] {
    return std::distance(std::filesystem::directory_iterator("scratch"),
                         std::filesystem::directory_iterator{});
  };
  for (int sig : {SIGINT, SIGTERM}) {
    Process tour("tour", {.io = Io::Pipes,
                          .args = {"--real-keys", "--draw", "drawn", "semaphores", "fork"}});
    ASSERT_TRUE(tour.wait_for("-- the semaphore now: value 0, 1 waiting\n")) << tour.output();
    ASSERT_GT(left(), 0) << "the scene's folder, while it plays";
    tour.signal(sig);
    EXPECT_EQ(tour.wait_exit(kScene).signal, sig);
    EXPECT_LT(semget(1234, 0, 0), 0) << "the set it made";
    EXPECT_EQ(left(), 0) << "the scene's folder";
    auto svg = picture("semaphores");
    auto waiter = of_class(svg, "lane", "data-lane", "gatewait");
    ASSERT_EQ(waiter.size(), 1u);
    pid_t pid = static_cast<pid_t>(waiter[0].number("data-pid"));
    EXPECT_TRUE(eventually([&] { return kill(pid, 0) < 0; })) << "gatewait lives on";
    EXPECT_EQ(count(contents("drawn/semaphores.svg"),
                    std::string("interrupted by SIG") + sigabbrev_np(sig)),
              1);
    EXPECT_FALSE(std::filesystem::exists("drawn/fork.svg")) << "a scene never played";
  }
  // Killed outright, it can clean up nothing itself: its programs die with
  // it, and the next tour removes the scratch folder it left.
  auto playing_in_scratch = [&] {
    int found = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc")) {
      std::error_code gone;
      auto cwd = std::filesystem::read_symlink(entry.path() / "cwd", gone);
      found += !gone && cwd.string().starts_with(dir_ + "/scratch/");
    }
    return found;
  };
  for (const char* mode : {"--allow-skip", "--sampled"}) {
    Process tour("tour", {.io = Io::Pipes, .args = {mode, "semaphores"}});
    ASSERT_TRUE(tour.wait_for("-- the semaphore now: value 0, 1 waiting\n")) << tour.output();
    tour.signal(SIGKILL);
    EXPECT_EQ(tour.wait_exit(kScene).signal, SIGKILL);
    EXPECT_TRUE(eventually([&] { return playing_in_scratch() == 0; }))
        << mode << ": gatewait lives on";
    EXPECT_EQ(left(), 1);
    Process next("tour", {.io = Io::Pipes, .args = {"pause"}});
    EXPECT_EQ(next.wait_exit(kScene).status, 0) << next.errors();
    EXPECT_EQ(left(), 0) << mode << ": the killed tour's folder";
  }
  // Another user's, abandoned as well, is not ours to remove, even as root.
  if (geteuid() == 0) {
    ASSERT_EQ(mkdir("scratch/ipc-kit-tour-theirs", 0700), 0);
    std::ofstream("scratch/ipc-kit-tour-theirs/.made-by-the-tour");
    ASSERT_EQ(chown("scratch/ipc-kit-tour-theirs", 65534, 65534), 0);
    Process next("tour", {.io = Io::Pipes, .args = {"pause"}});
    EXPECT_EQ(next.wait_exit(kScene).status, 0) << next.errors();
    EXPECT_EQ(left(), 1) << "another user's folder";
    std::filesystem::remove_all("scratch/ipc-kit-tour-theirs");
  }
  // A sanitizer build's leak check needs descriptors of its own at exit.
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  // At every limit up to where the scene plays, whether before a scene,
  // amid one, or in a program it starts: never a scene that misbehaved,
  // nor a next scene once one has run out.
  for (rlim_t limit = 5;; limit++) {
    Process tour("tour", {.io = Io::Pipes,
                          .args = {"--real-keys", "semaphores", "semaphores"},
                          .limits = {{RLIMIT_NOFILE, limit}}});
    int status = tour.wait_exit(kScene).status;
    EXPECT_EQ(left(), 0);
    if (status == 0 || limit == 40) {
      EXPECT_EQ(status, 0) << "the scene plays with 40 descriptors";
      EXPECT_GT(limit, 6u);
      break;
    }
    EXPECT_EQ(status, 1);
    EXPECT_LE(count(tour.output(), "== semaphores =="), 1) << "at " << limit;
    EXPECT_EQ(tour.errors(), "tour: no file descriptor left (the limit is " +
                                 std::to_string(limit) + "; raise it with ulimit -n)\n")
        << tour.output();
    EXPECT_LT(semget(1234, 0, 0), 0) << "the set it made, at " << limit;
  }
  unsetenv("TMPDIR");
}

// Where the programs cannot be traced (here another tracer holds the
// tour), the scene plays sampled and its picture says why.
TEST_F(TourTest, ASceneThatCannotBeTracedIsSampledAndSaysSo) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "no strace to hold the tour";
  // A sanitizer build's leak check refuses to run under a tracer.
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  Process tour("/usr/bin/strace", {.io = Io::Pipes,
                                   .args = {"-f", "-o", "/dev/null", program_path("tour"), "--draw",
                                            "drawn", "pause"}});
  ASSERT_EQ(tour.wait_exit(kScene).status, 0) << tour.errors();
  std::string pause = contents("drawn/pause.svg");
  EXPECT_EQ(count(pause, "data-traced=\"no\""), 1);
  EXPECT_EQ(count(pause, "Sampled from /proc, not traced (ptrace: Operation not permitted)"), 1);
}

// What the tour says when it is asked wrongly, or cannot do what it is asked.
TEST_F(TourTest, AnswersWhatItCannotPlayOrDraw) {
  Process list("tour", {.io = Io::Pipes, .args = {"--list"}});
  EXPECT_EQ(list.wait_exit().status, 0);
  EXPECT_EQ(count(list.output(), "\n"), 8u);
  EXPECT_EQ(list.output().rfind("semaphores  gatewait blocks", 0), 0u) << list.output();
  for (auto [arg, said] : {std::pair{"nosuch", "tour: no scene named 'nosuch'"},
                           {"--draw", "tour: unknown option '--draw'"}}) {
    Process wrong("tour", {.io = Io::Pipes, .args = {arg}});
    EXPECT_EQ(wrong.wait_exit().status, 2) << arg;
    EXPECT_EQ(count(wrong.errors(), "usage: tour "), 1) << wrong.errors();
    EXPECT_EQ(count(wrong.errors(), said), 1) << wrong.errors();
  }
  // Under the real keys, a scene whose key is in use does not start.
  ASSERT_GE(semget(1234, 1, IPC_CREAT | 0600), 0);
  ASSERT_GE(shmget(10, 20, IPC_CREAT | 0600), 0);
  Process busy("tour", {.io = Io::Pipes, .args = {"--real-keys", "semaphores", "segment"}});
  EXPECT_EQ(busy.wait_exit(kScene).status, 3);
  EXPECT_EQ(
      busy.output().rfind("Scenes use the host's real keys; they remove what they make.\n", 0), 0u);
  EXPECT_EQ(count(busy.output(), "skipped: a semaphore set under key 1234 exists"), 1);
  EXPECT_EQ(count(busy.output(), "skipped: a segment under key 10 exists"), 1) << busy.output();
  // A picture it cannot write fails the tour.
  ASSERT_EQ(mkdir("drawn", 0755), 0);
  ASSERT_EQ(mkdir("drawn/index.html", 0755), 0);
  Process unwritten("tour", drawing("fork"));
  EXPECT_EQ(unwritten.wait_exit(kScene).status, 1);
  EXPECT_EQ(unwritten.errors(), "tour: cannot write drawn/index.html: Is a directory\n");
  // A picture's name planted as a symlink is replaced, not written through.
  ASSERT_EQ(rmdir("drawn/index.html"), 0);
  unlink("drawn/fork.svg");
  std::ofstream("victim") << "mine\n";
  ASSERT_EQ(symlink((dir_ + "/victim").c_str(), "drawn/fork.svg"), 0);
  Process planted("tour", drawing("fork"));
  EXPECT_EQ(planted.wait_exit(kScene).status, 0) << planted.errors();
  EXPECT_EQ(contents("victim"), "mine\n");
  struct stat drawn;
  ASSERT_EQ(lstat("drawn/fork.svg", &drawn), 0);
  EXPECT_TRUE(S_ISREG(drawn.st_mode));
  EXPECT_EQ(count(planted.output(), "\ntour: 1 scene played in "), 1) << planted.output();
  // A folder for the pictures that cannot be made is said before any scene.
  Process unmade("tour", {.io = Io::Pipes, .args = {"--draw", "victim", "fork"}});
  EXPECT_EQ(unmade.wait_exit(kScene).status, 1);
  EXPECT_EQ(unmade.errors(), "tour: cannot make victim: Not a directory\n");
  EXPECT_EQ(unmade.output(), "");
}

// Colour only on a terminal, and not there under NO_COLOR or TERM=dumb.
TEST_F(TourTest, ColoursOnlyWhereColourIsWelcome) {
  setenv("TERM", "xterm", 1);
  std::string output;
  auto coloured = [&](Io io) {
    Process tour("tour", {.io = io, .args = {"fork"}});
    EXPECT_EQ(tour.wait_exit(kScene).status, 0);
    output = tour.output();
    return count(output, "\033[") > 0;
  };
  EXPECT_TRUE(coloured(Io::Terminal));
  // Each program's lines in its lane's colour, the first's cyan.
  EXPECT_GT(count(output, "  \033[36mfork              |\033[0m hello\n"), 0) << output;
  EXPECT_FALSE(coloured(Io::Pipes));
  setenv("NO_COLOR", "1", 1);
  EXPECT_FALSE(coloured(Io::Terminal));
  unsetenv("NO_COLOR");
  setenv("TERM", "dumb", 1);
  EXPECT_FALSE(coloured(Io::Terminal));
}

TEST_F(TourTest, AMisbehavingSceneIsDrawnUpToWhereItFailed) {
  // A kit whose gatewait prints nothing and ends at once.
  ASSERT_EQ(mkdir("bin", 0755), 0);
  ASSERT_EQ(symlink("/bin/true", "bin/gatewait"), 0);
  std::string tour_path = program_path("tour");
  setenv("IPC_KIT_BIN", (dir_ + "/bin").c_str(), 1);
  Process tour(tour_path, drawing("semaphores"));
  unsetenv("IPC_KIT_BIN");
  EXPECT_EQ(tour.wait_exit(kScene).status, 1);
  EXPECT_EQ(count(tour.errors(), "semaphores misbehaved: gatewait never printed"), 1)
      << tour.errors();
  auto svg = picture("semaphores");
  EXPECT_EQ(of_class(svg, "failure").size(), 1u);
  EXPECT_EQ(of_class(svg, "end", "data-lane", "gatewait").size(), 1u);

  // A kit without its fork: the scene shows why it could not start.
  setenv("IPC_KIT_BIN", (dir_ + "/bin").c_str(), 1);
  Process missing(tour_path, {.io = Io::Pipes, .args = {"fork"}});
  unsetenv("IPC_KIT_BIN");
  EXPECT_EQ(missing.wait_exit(kScene).status, 1);
  EXPECT_EQ(count(missing.output(), "/bin/fork: No such file or directory\n"), 1)
      << missing.output();

  // A fork of another's that clears the screen: its controls reach the
  // person's terminal made visible.
  ASSERT_EQ(symlink("/usr/bin/clear", "bin/fork"), 0);
  setenv("IPC_KIT_BIN", (dir_ + "/bin").c_str(), 1);
  setenv("TERM", "xterm", 1);
  Process foreign(tour_path, {.io = Io::Pipes, .args = {"fork"}});
  unsetenv("IPC_KIT_BIN");
  EXPECT_EQ(foreign.wait_exit(kScene).status, 1);
  EXPECT_EQ(count(foreign.output(), "| ?[H?[2J"), 1) << foreign.output();
  EXPECT_EQ(count(foreign.output(), "\033"), 0);
}

// A line comes whole however its program writes it, and a last line
// without its newline still shows; a program of the kit's folder may be a
// script.
TEST_F(TourTest, AProgramsLinesShowWholeHoweverTheyArrive) {
  ASSERT_EQ(mkdir("bin", 0755), 0);
  std::ofstream("bin/fork") << "#!/bin/sh\nprintf 'this is '; sleep 0.3; printf 'first step\\n'; "
                               "printf 'no newline'\n";
  ASSERT_EQ(chmod("bin/fork", 0755), 0);
  std::string tour_path = program_path("tour");
  setenv("IPC_KIT_BIN", (dir_ + "/bin").c_str(), 1);
  Process tour(tour_path, {.io = Io::Pipes, .args = {"fork"}});
  unsetenv("IPC_KIT_BIN");
  EXPECT_EQ(tour.wait_exit(kScene).status, 1) << "into a pipe it printed once";
  EXPECT_EQ(count(tour.output(),
                  "  fork              | this is first step\n"
                  "  fork              | no newline\n"
                  "  -- fork exits with status 0\n"),
            1)
      << tour.output();
}

// A program's threads are drawn on its own lane, and a child it makes out of
// the tracer's reach is named in the picture's note.
TEST_F(TourTest, ThreadsAndUntracedChildrenAreDrawnAsTheyAre) {
  ASSERT_EQ(mkdir("bin", 0755), 0);
  std::ofstream("bin/fork") << R"(#!/usr/bin/python3
import ctypes, os, threading, time
libc = ctypes.CDLL(None)
class Sembuf(ctypes.Structure):
    _fields_ = [("num", ctypes.c_ushort), ("op", ctypes.c_short), ("flg", ctypes.c_short)]
semid = libc.semget(4321, 1, 0o1600)
def post():
    libc.semop(semid, ctypes.byref(Sembuf(0, 1, 0)), 1)
threads = [threading.Thread(target=post) for _ in range(20)]
for thread in threads: thread.start()
for thread in threads: thread.join()
child = libc.syscall(56, 0x00800000 | 17, 0, 0, 0, 0)  # clone: CLONE_UNTRACED, SIGCHLD
if child == 0:
    time.sleep(0.3)
    os._exit(0)
print("untraced", child, flush=True)
os.waitpid(child, 0)
)";
  ASSERT_EQ(chmod("bin/fork", 0755), 0);
  std::string tour_path = program_path("tour");
  setenv("IPC_KIT_BIN", (dir_ + "/bin").c_str(), 1);
  Process tour(tour_path, drawing("fork"));
  unsetenv("IPC_KIT_BIN");
  EXPECT_EQ(tour.wait_exit(kScene).status, 1) << "it prints no first step";
  auto svg = picture("fork");
  EXPECT_EQ(of_class(svg, "lane").size(), 1u);
  auto posts = of_class(svg, "call", "data-lane", "fork");
  EXPECT_EQ(
      std::count_if(posts.begin(), posts.end(),
                    [](const Element& call) { return call.attributes.at("data-text") == "+1"; }),
      20);
  std::string printed = tour.output();
  auto said = printed.find("untraced ");
  ASSERT_NE(said, std::string::npos) << printed;
  std::string child = printed.substr(said + 9, printed.find('\n', said) - said - 9);
  std::string escaped =
      "fork made process " + child + " out of the tracer's reach (CLONE_UNTRACED)";
  EXPECT_EQ(count(printed, "-- " + escaped), 1) << printed;
  std::string note;
  for (auto& line : of_class(svg, "note")) note += line.text + " ";
  EXPECT_EQ(count(note, escaped), 1) << note;
}

// Whatever a program prints and however many children it makes, the tour
// keeps a bounded record, draws it, and says in the picture what it left out.
TEST_F(TourTest, WhatAProgramDoesWithoutBoundIsKeptWithinBounds) {
  ASSERT_EQ(mkdir("bin", 0755), 0);
  std::string tour_path = program_path("tour");
  auto play = [&](const std::string& script) {
    std::ofstream("bin/fork") << "#!/bin/sh\n" << script << "\n";
    EXPECT_EQ(chmod("bin/fork", 0755), 0);
    setenv("IPC_KIT_BIN", (dir_ + "/bin").c_str(), 1);
    Process tour(tour_path, drawing("fork"));
    unsetenv("IPC_KIT_BIN");
    EXPECT_EQ(tour.wait_exit(kScene).status, 1) << script << "\n" << tour.errors();
    std::string note;
    for (auto& line : picture("fork")) note += line.is("note") ? line.text + " " : "";
    EXPECT_LT(std::filesystem::file_size("drawn/fork.svg"), 1u << 20) << script;
    return std::pair{tour.output(), note};
  };
  auto [endless, endless_note] = play("yes");
  EXPECT_EQ(count(endless, "  fork              | y\n"), 200);
  EXPECT_EQ(count(endless, "  -- the rest of fork's lines are counted, not shown\n"), 1);
  EXPECT_EQ(count(endless_note, "lines more than the 200 shown."), 1) << endless_note;
  EXPECT_EQ(of_class(picture("fork"), "call", "data-lane", "fork's child").size(), 100u);
  EXPECT_EQ(count(endless_note, "are not drawn: each lane shows its first 100."), 1);
  auto [long_line, long_note] = play("head -c 10000000 /dev/zero | tr '\\0' x; echo");
  EXPECT_EQ(count(long_line, "| " + std::string(300, 'x') + "\u2026 (10000000 bytes in all)\n"), 1);
  auto [lines, lines_note] = play("seq 100000");
  EXPECT_EQ(count(lines_note, "fork printed 99800 lines more than the 200 shown."), 1);
  // Few enough that even a loaded machine makes them all, traced, well
  // within the scene's patience with a program that does not end.
  play("i=0; while [ $i -lt 300 ]; do /bin/true & i=$((i + 1)); done; wait");
  auto svg = picture("fork");
  std::string lanes;
  for (auto& lane : of_class(svg, "lane")) lanes += lane.attributes["data-lane"] + "\n";
  EXPECT_EQ(of_class(svg, "lane").size(), 26u) << lanes;
  EXPECT_EQ(of_class(svg, "lane", "data-lane", "276 more children of fork, each exit 0").size(), 1u)
      << lanes;
}

// Started with Ctrl-C ignored or blocked, as a script or a service may leave
// it, the tour still plays its programs with the signals as they come.
TEST_F(TourTest, ItsProgramsDoNotInheritIgnoredOrBlockedSignals) {
  for (std::string how : {"signal.signal(signal.SIGINT, signal.SIG_IGN)",
                          "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})"}) {
    Process tour("/usr/bin/python3",
                 {.io = Io::Pipes,
                  .args = {"-c", "import os, signal; " + how + "; os.execv('" +
                                     program_path("tour") + "', ['tour', 'pause'])"}});
    EXPECT_EQ(tour.wait_exit(kScene).status, 0) << how << "\n" << tour.output() << tour.errors();
  }
}

TEST_F(TourTest, ASceneThatCannotPlayIsSkippedAndFailsTheTourUnlessAllowed) {
  setenv("PATH", "/nonexistent", 1);  // no cc for the mean scene
  Process strict("tour", {.io = Io::Pipes, .args = {"mean"}});
  EXPECT_EQ(strict.wait_exit(kScene).status, 3);
  EXPECT_EQ(count(strict.output(), "skipped: no C compiler (cc)"), 1) << strict.output();
  EXPECT_EQ(count(strict.output(), "\ntour: 0 scenes played in "), 1);
  EXPECT_TRUE(strict.output().ends_with(" s, 1 skipped (said why above)\n")) << strict.output();
  Process allowed("tour", {.io = Io::Pipes, .args = {"--allow-skip", "mean"}});
  EXPECT_EQ(allowed.wait_exit(kScene).status, 0);
  // An empty entry of PATH is the working folder, as for the shell.
  ASSERT_EQ(symlink("/bin/true", "cc"), 0);
  setenv("PATH", "/nonexistent:", 1);
  Process here("tour", {.io = Io::Pipes, .args = {"mean"}});
  EXPECT_EQ(here.wait_exit(kScene).status, 3);
  EXPECT_EQ(count(here.output(), "skipped: no pkg-config"), 1) << here.output();
#ifndef __SANITIZE_ADDRESS__  // an installed sanitized library links only sanitized programs
  // Started by an installed ipc-kit, the scene builds against that install,
  // which must hold the library's development files.
  setenv("PATH", "/usr/local/bin:/usr/bin:/bin", 1);
  ASSERT_EQ(mkdir("bare", 0755), 0);
  setenv("IPC_KIT_PREFIX", (dir_ + "/bare").c_str(), 1);
  Process bare("tour", {.io = Io::Pipes, .args = {"mean"}});
  EXPECT_EQ(bare.wait_exit(kScene).status, 3);
  EXPECT_EQ(count(bare.output(),
                  "skipped: the averager library's development files are not "
                  "installed (libaverager-dev)"),
            1)
      << bare.output();
  Process install("/bin/sh", {.io = Io::Pipes,
                              .args = {"-c", "cmake --install " KIT_BUILD_DIR " --prefix " + dir_ +
                                                 "/installed >/dev/null"}});
  ASSERT_EQ(install.wait_exit(60s).status, 0) << install.errors();
  setenv("IPC_KIT_PREFIX", (dir_ + "/installed").c_str(), 1);
  Process installed("tour", {.io = Io::Pipes, .args = {"mean"}});
  unsetenv("IPC_KIT_PREFIX");
  EXPECT_EQ(installed.wait_exit(kScene).status, 0) << installed.output() << installed.errors();
  EXPECT_EQ(count(installed.output(),
                  "-- builds means.c against the installed library, found by pkg-config\n"),
            1)
      << installed.output();
  EXPECT_EQ(count(installed.output(), "| mean(1e+308, 1e+308) = 1e+308\n"), 1);
#endif
}

TEST_F(TourTest, IpcKitListsTheProgramsAndRunsThemByName) {
  Process list("ipc-kit", {.io = Io::Pipes});
  EXPECT_EQ(list.wait_exit(5s).status, 0);
  for (auto name : {"  gatewait ", "  pipechat-server ", "  pause ", "  tour "})
    EXPECT_EQ(count(list.output(), name), 1) << list.output();
  EXPECT_EQ(count(list.output(),
                  "\n  slatewatch-client  answer slatewatch through the shared "
                  "segment\n"),
            1);
  EXPECT_TRUE(list.output().ends_with("\nEach has a manual page: man ipc-kit-PROGRAM.\n"));
  Process fork("ipc-kit", {.io = Io::Pipes, .args = {"fork"}});
  EXPECT_EQ(fork.wait_exit(5s).status, 0);
  EXPECT_EQ(count(fork.output(), "this is first step\n"), 2) << "fork's own lines, into a pipe";
  // Installed, it runs the kit's own folder, arguments and all, and tells
  // the program where the kit is.
  std::filesystem::create_directories("p/bin");
  std::filesystem::create_directories("p/" KIT_PROGRAM_DIR);
  std::filesystem::copy_file(program_path("ipc-kit"), "p/bin/ipc-kit");
  std::ofstream("p/" KIT_PROGRAM_DIR "/tour")
      << "#!/bin/sh\necho \"$0 $* in $IPC_KIT_BIN from $IPC_KIT_PREFIX\"\n";
  ASSERT_EQ(chmod("p/" KIT_PROGRAM_DIR "/tour", 0755), 0);
  Process installed(dir_ + "/p/bin/ipc-kit", {.io = Io::Pipes, .args = {"tour", "--draw", "d"}});
  EXPECT_EQ(installed.wait_exit(5s).status, 0) << installed.errors();
  std::string program_dir = dir_ + "/p/" KIT_PROGRAM_DIR;
  EXPECT_EQ(installed.output(),
            program_dir + "/tour --draw d in " + program_dir + " from " + dir_ + "/p\n");
  Process unknown("ipc-kit", {.io = Io::Pipes, .args = {"ls"}});
  EXPECT_EQ(unknown.wait_exit(5s).status, 2);
  EXPECT_EQ(count(unknown.errors(), "no program named 'ls'"), 1);
  // Copied away from the programs, it says what it could not run.
  ASSERT_EQ(mkdir("lone", 0755), 0);
  std::filesystem::copy_file(program_path("ipc-kit"), "lone/ipc-kit");
  Process lone(dir_ + "/lone/ipc-kit", {.io = Io::Pipes, .args = {"fork"}});
  EXPECT_EQ(lone.wait_exit(5s).status, 127);
  EXPECT_EQ(lone.errors(),
            "ipc-kit: cannot run " + dir_ + "/lone/fork: No such file or directory\n");
  // Where /proc cannot say where it is, it runs nothing rather than a guess
  // (the sanitizers' own checks need /proc too).
#ifndef __SANITIZE_ADDRESS__
  if (geteuid() != 0) return;
  Process blind("/usr/bin/unshare", {.io = Io::Pipes,
                                     .args = {"-m", "sh", "-c",
                                              "mount -t tmpfs none /proc && exec " +
                                                  program_path("ipc-kit") + " fork"}});
  EXPECT_EQ(blind.wait_exit(5s).status, 1);
  EXPECT_EQ(blind.errors(),
            "ipc-kit: cannot find where it is installed: No such file or directory\n");
  EXPECT_EQ(blind.output(), "");
#endif
}

// On a machine without the build's tools, ./tour and ./test name what is
// missing and the one line that installs it, before anything is built.
TEST_F(TourTest, TheScriptsNameWhatTheyNeedAndHowToInstallIt) {
  std::filesystem::create_directory("bare");
  for (auto tool : {"bash", "apt-get"})
    std::filesystem::create_symlink(std::string("/usr/bin/") + tool, std::string("bare/") + tool);
  std::string sudo = geteuid() == 0 ? "" : "sudo ";
  for (auto script : {"tour", "test"}) {
    Process bare("/usr/bin/env", {.io = Io::Pipes,
                                  .args = {"-i", "PATH=" + dir_ + "/bare",
                                           std::string(KIT_SOURCE_DIR "/") + script}});
    EXPECT_EQ(bare.wait_exit(10s).status, 1) << script;
    std::string said = bare.errors();
    EXPECT_EQ(said.rfind(std::string(script) + ": missing cmake make c++ cc pkg-config", 0), 0u)
        << said;
    EXPECT_NE(said.find("Install with: " + sudo + "apt-get install cmake make g++ gcc pkgconf"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(std::string("or run ") + script + " --install-deps"), std::string::npos);
    EXPECT_EQ(bare.output(), "");
  }
}

// Completion offers the kit's programs, then the tour's scenes and options
// and ipcwatch's, as the commands themselves list them.
TEST_F(TourTest, BashCompletesProgramsScenesAndOptions) {
  auto complete = [](std::vector<std::string> words) {
    std::string line;
    for (auto& word : words) line += " '" + word + "'";
    Process bash("/bin/bash", {.io = Io::Pipes,
                               .args = {"-c", "source " KIT_COMPLETION "; COMP_WORDS=(" + line +
                                                  "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                                  "_ipc_kit; echo \"${COMPREPLY[*]}\""}});
    bash.wait_exit(10s);
    return bash.output();
  };
  std::string kit = program_path("ipc-kit");
  EXPECT_EQ(complete({kit, "tou"}), "tour\n");
  EXPECT_EQ(complete({kit, "pipe"}), "pipechat pipechat-server\n");
  EXPECT_EQ(complete({kit, "tour", "sem"}), "semaphores\n");
  EXPECT_EQ(complete({kit, "tour", "--s"}), "--sampled\n");
  EXPECT_EQ(complete({kit, "ipcwatch", "--r"}), "--record\n");
  EXPECT_EQ(complete({program_path("ipcwatch"), "s"}), "sem shm\n");
}

// The programs that take options answer --help on standard output, and
// refuse an unknown option with their usage on standard error, status 2.
TEST_F(TourTest, ProgramsWithOptionsAnswerHelpAndRefuseUnknownOnes) {
  for (auto name :
       {"tour", "ipcwatch", "ipc-kit", "pipechat-server", "slatewatch-client", "bench"}) {
    Process help(name, {.io = Io::Pipes, .args = {"--help"}});
    EXPECT_EQ(help.wait_exit(5s).status, 0) << name;
    EXPECT_EQ(help.output().rfind("usage: ", 0), 0u) << name << ": " << help.output();
    Process wrong(name, {.io = Io::Pipes, .args = {"--colour"}});
    EXPECT_EQ(wrong.wait_exit(5s).status, 2) << name;
    EXPECT_EQ(wrong.output(), "") << name;
    EXPECT_EQ(count(wrong.errors(), "usage: "), 1) << name << ": " << wrong.errors();
  }
  for (auto name : {"tour", "ipcwatch", "ipc-kit"}) {
    Process version(name, {.io = Io::Pipes, .args = {"--version"}});
    EXPECT_EQ(version.wait_exit(5s).status, 0) << name;
    EXPECT_EQ(version.output(), std::string(name) + " " KIT_VERSION "\n");
  }
  Process never("ipcwatch", {.io = Io::Pipes, .args = {"--record", "x.svg", "--for", "0"}});
  EXPECT_EQ(never.wait_exit().status, 2) << "a recording must last";
  Process unnamed("ipcwatch", {.io = Io::Pipes, .args = {"--record"}});
  EXPECT_EQ(unnamed.wait_exit().status, 2) << "a recording needs its file";
}

}  // namespace
}  // namespace kit
