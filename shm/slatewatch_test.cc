#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>

#include <cstring>

#include "harness.h"

namespace kit {
namespace {

constexpr key_t kKey = 10;
const std::string kText = std::string("tolvane\0", 8);
using SlatewatchTest = Sandbox;

// Answers as a segment client must: the flag byte last.
void answer(const std::string& text) {
  int id = shmget(kKey, 20, 0);
  ASSERT_GE(id, 0);
  auto slate = static_cast<char*>(shmat(id, nullptr, 0));
  memcpy(slate + 1, text.data() + 1, text.size() - 1);
  slate[0] = text[0];
  shmdt(slate);
}

bool slate_begins_with(const std::string& text) {
  return eventually([&] {
    auto found = segment(kKey);
    return found && found->bytes.starts_with(text);
  });
}

TEST_F(SlatewatchTest, WaitsSilentlyForTheFlagThenPrintsTheAnswer) {
  Process server("slatewatch");
  ASSERT_TRUE(slate_begins_with(kText));
  EXPECT_EQ(segment(kKey)->size, 20u);
  EXPECT_EQ(segment(kKey)->mode, 0666u);
  EXPECT_EQ(server.output(1500ms), "");

  answer(std::string("Bzzzz\0", 6));
  EXPECT_EQ(server.output(1500ms), "") << "only 'A' in the first byte is an answer";

  answer(std::string("Aloha\0", 6));
  ASSERT_TRUE(server.wait_for("Aloha\n", 1, 3s));
  Ending ending = server.wait_exit();
  EXPECT_TRUE(ending.exited);
  EXPECT_EQ(ending.status, 0);
  EXPECT_EQ(server.output(), "Aloha\n");
  EXPECT_TRUE(segment(kKey)->bytes.starts_with(std::string("Aloha\0", 6)))
      << "the segment outlives the server, answer and all";

  Process second("slatewatch");
  EXPECT_TRUE(slate_begins_with(kText)) << "a new run writes its text over the answer";
  EXPECT_EQ(second.output(1200ms), "");
}

TEST_F(SlatewatchTest, AnswerWithoutANulEndsAtTheSegmentsEnd) {
  Process server("slatewatch");
  ASSERT_TRUE(slate_begins_with(kText));
  std::string full = "A" + std::string(19, 'z');
  answer(full + "!");  // one byte past the segment, in the rest of its page
  EXPECT_EQ(server.wait_exit().status, 0);
  EXPECT_EQ(server.output(), full + "\n") << "nothing from beyond the segment";
}

TEST_F(SlatewatchTest, SegmentTooSmallUnderTheKeyIsRefused) {
  ASSERT_GE(shmget(kKey, 8, IPC_CREAT | 0666), 0);
  Process server("slatewatch");
  Ending ending = server.wait_exit();
  EXPECT_EQ(ending.status, 1);
  EXPECT_EQ(server.output(), "shmget");
}

TEST_F(SlatewatchTest, SegmentTooLargeToAttachIsRefused) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer cannot start within a small address space";
#endif
  // Found under the key, but larger than the address space it may use.
  ASSERT_GE(shmget(kKey, 1ul << 30, IPC_CREAT | 0666), 0);
  Process server("slatewatch", {.limits = {{RLIMIT_AS, 256ul << 20}}});
  Ending ending = server.wait_exit();
  EXPECT_EQ(ending.status, 1);
  EXPECT_EQ(server.output(), "shmat");
}

TEST_F(SlatewatchTest, ShippedClientAnswersIt) {
  Process early("slatewatch-client");
  EXPECT_EQ(early.wait_exit().status, 1);
  EXPECT_TRUE(early.errors().starts_with("slatewatch-client: no segment")) << early.errors();

  Process server("slatewatch");
  ASSERT_TRUE(slate_begins_with(kText));
  Process client("slatewatch-client", {.args = {"Apricot"}});
  EXPECT_EQ(client.wait_exit().status, 0);
  EXPECT_EQ(client.output(), "read: tolvane\nanswered: Apricot\n");
  EXPECT_EQ(server.wait_exit().status, 0);
  EXPECT_EQ(server.output(), "Apricot\n");
}

TEST_F(SlatewatchTest, ShippedClientRefusesWhatItCannotUse) {
  for (auto answer : {"aloha", "Abcdefghijklmnopqrst"}) {
    Process client("slatewatch-client", {.args = {answer}});
    EXPECT_EQ(client.wait_exit().status, 2) << answer;
    EXPECT_TRUE(client.errors().starts_with("usage: slatewatch-client [ANSWER]\n"));
  }
  require_root();
  ASSERT_GE(shmget(kKey, 20, IPC_CREAT | 0600), 0);  // root's alone
  Process client("slatewatch-client", {.unprivileged = true});
  EXPECT_EQ(client.wait_exit().status, 1);
  EXPECT_EQ(client.errors(), "slatewatch-client: shmat: Permission denied\n");
  EXPECT_EQ(client.output(), "");
}

}  // namespace
}  // namespace kit
