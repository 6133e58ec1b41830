#include "harness.h"
#include "mysem.h"

namespace kit {
namespace {

constexpr key_t kKey = 1234;
constexpr std::string_view kPrompt = "Press enter key to send semaphore\n";
using GatepostTest = Sandbox;

TEST_F(GatepostTest, WithoutASetItFailsBeforePrompting) {
  Process poster("gatepost");
  Ending ending = poster.wait_exit();
  EXPECT_TRUE(ending.exited);
  EXPECT_EQ(ending.status, 1);
  EXPECT_EQ(poster.output(), "");
  EXPECT_EQ(poster.errors(), "Sem open failed: No such file or directory\n");
  EXPECT_FALSE(semaphore(kKey)) << "the poster never creates the set";
}

TEST_F(GatepostTest, PostsOncePerCharacterAndStopsAtEndOfInput) {
  int id = mysem_init(kKey);
  Process poster("gatepost", {.io = Io::Pipes});
  poster.type("ab\n");
  ASSERT_TRUE(eventually([] { return semaphore(kKey)->value == 3; }));
  // Into a pipe nothing shows before the program ends normally.
  EXPECT_EQ(poster.output(100ms), "");
  poster.end_input();
  Ending ending = poster.wait_exit();
  EXPECT_TRUE(ending.exited);
  EXPECT_EQ(ending.status, 0);
  std::string prompts;
  for (int i = 0; i < 4; i++) prompts += kPrompt;
  EXPECT_EQ(poster.output(), "Semid = " + std::to_string(id) + "\n" + prompts);
  EXPECT_EQ(semaphore(kKey)->value, 3);
}

}  // namespace
}  // namespace kit
