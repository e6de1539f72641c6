#include "support/tmux_session.h"

#include <gtest/gtest.h>

namespace {

TEST(TmuxSession, RunsCommandWithEnvironmentAndReportsExit) {
  zt::TmuxSession tmux;
  ASSERT_TRUE(tmux.start({"sh", "-c", "echo \"$ZT_A ${HOME-unset}\"; read x; echo \"got $x\"; exit 3"},
                         40, 6, {"ZT_A=alpha beta", "-HOME"}));
  ASSERT_TRUE(tmux.wait_text("alpha beta unset")) << tmux.screen_text();
  EXPECT_FALSE(tmux.exited());
  ASSERT_TRUE(tmux.send_text("a b"));
  ASSERT_TRUE(tmux.send_keys("Enter"));
  int status = -1;
  ASSERT_TRUE(tmux.wait_exit(&status)) << tmux.screen_text();
  EXPECT_EQ(status, 3);
  EXPECT_TRUE(tmux.wait_equal(zt::screen_of(6, {{0, "alpha beta unset"}, {1, "a b"}, {2, "got a b"}})))
      << tmux.screen_text();
}

TEST(TmuxSession, ScreenHasFixedSizeAndFollowsResize) {
  zt::TmuxSession tmux;
  ASSERT_TRUE(tmux.start({"sh", "-c", "stty size; read x; stty size; read y"}, 33, 7));
  ASSERT_TRUE(tmux.wait_text("7 33")) << tmux.screen_text();
  EXPECT_EQ(tmux.screen().size(), 7u);
  ASSERT_TRUE(tmux.resize(21, 9));
  ASSERT_TRUE(tmux.send_keys("Enter"));
  ASSERT_TRUE(tmux.wait_text("9 21")) << tmux.screen_text();
  EXPECT_EQ(tmux.screen().size(), 9u);
  EXPECT_GT(tmux.pane_pid(), 0);
}

} // namespace
