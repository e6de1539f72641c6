#include "runtime/options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

// An argument vector as a program receives it: argv[0] first, then the
// arguments, then the terminating null.
struct Args {
  std::vector<std::string> text;
  std::vector<char *> ptrs;
  Args(std::initializer_list<const char *> args) {
    text.emplace_back("zpr_monitor");
    for (const char *a : args)
      text.emplace_back(a);
    for (std::string &s : text)
      ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(text.size()); }
  char **argv() { return ptrs.data(); }
};

const char *pid_of(Args &a, const char *def = "DEF") {
  return opt_value(a.argc(), a.argv(), "--pid", "-p", def);
}

TEST(OptValue, ValueForms) {
  Args eq{"--pid=42"};
  EXPECT_STREQ(pid_of(eq), "42");
  Args sep{"--pid", "42"};
  EXPECT_STREQ(pid_of(sep), "42");
  Args alias{"-p", "42"};
  EXPECT_STREQ(pid_of(alias), "42");
  Args empty{"--pid="};
  EXPECT_STREQ(pid_of(empty), "");
  Args eq_in_value{"--pid==7"};
  EXPECT_STREQ(pid_of(eq_in_value), "=7");
}

TEST(OptValue, ResultPointsIntoArgv) {
  Args a{"--dump", "--pid", "42"};
  EXPECT_EQ(pid_of(a), a.argv()[3]);
  Args b{"--pid=42"};
  EXPECT_EQ(pid_of(b), b.argv()[1] + 6);
}

TEST(OptValue, MissingValueGivesDefault) {
  Args last{"--dump", "--pid"};
  EXPECT_STREQ(pid_of(last), "DEF");
  Args last_alias{"-p"};
  EXPECT_STREQ(pid_of(last_alias), "DEF");
  Args absent{"--dump"};
  EXPECT_STREQ(pid_of(absent), "DEF");
  EXPECT_EQ(pid_of(absent, nullptr), nullptr);
}

TEST(OptValue, FirstOccurrenceDecides) {
  Args a{"--pid", "5", "--pid", "6"};
  EXPECT_STREQ(pid_of(a), "5");
  Args b{"-p", "5", "--pid=6"};
  EXPECT_STREQ(pid_of(b), "5");
  Args c{"--pid=6", "-p", "5"};
  EXPECT_STREQ(pid_of(c), "6");
}

TEST(OptValue, NextArgumentIsTakenWhateverItHolds) {
  Args a{"--pid", "--dump"};
  EXPECT_STREQ(pid_of(a), "--dump");
  EXPECT_EQ(opt_flag(a.argc(), a.argv(), "--dump", nullptr), 1);
  Args b{"--pid", "--"};
  EXPECT_STREQ(pid_of(b), "--");
  Args c{"-p", "-5"};
  EXPECT_STREQ(pid_of(c), "-5");
}

TEST(OptValue, OnlyExactNamesOrEqualsForm) {
  Args longer{"--pidx", "5"};
  EXPECT_STREQ(pid_of(longer), "DEF");
  Args attached_short{"-p5"};
  EXPECT_STREQ(pid_of(attached_short), "DEF");
  Args shorter{"--pi", "5"};
  EXPECT_STREQ(pid_of(shorter), "DEF");
  Args case_differs{"--PID", "5"};
  EXPECT_STREQ(pid_of(case_differs), "DEF");
  // A value that happens to equal the option's name is itself a hit.
  Args value_as_name{"--interval", "--pid", "9"};
  EXPECT_STREQ(pid_of(value_as_name), "9");
}

TEST(OptValue, DoubleDashDoesNotStopTheScan) {
  Args a{"--", "--pid", "7"};
  EXPECT_STREQ(pid_of(a), "7");
}

TEST(OptValue, NoArgumentsOrNoNames) {
  Args none{};
  EXPECT_EQ(none.argc(), 1);
  EXPECT_STREQ(pid_of(none), "DEF");
  EXPECT_STREQ(opt_value(0, none.argv(), "--pid", "-p", "DEF"), "DEF");
  Args a{"--pid", "3"};
  EXPECT_STREQ(opt_value(a.argc(), a.argv(), nullptr, nullptr, "DEF"), "DEF");
  // Either name alone works.
  EXPECT_STREQ(opt_value(a.argc(), a.argv(), "--pid", nullptr, "DEF"), "3");
  Args b{"-p", "4"};
  EXPECT_STREQ(opt_value(b.argc(), b.argv(), nullptr, "-p", "DEF"), "4");
  EXPECT_STREQ(opt_value(b.argc(), b.argv(), "--pid", nullptr, "DEF"), "DEF");
}

TEST(OptValue, ProgramNameIsNeverExamined) {
  Args a{};
  a.text[0] = "--pid=1";
  a.ptrs[0] = a.text[0].data();
  EXPECT_STREQ(pid_of(a), "DEF");
  EXPECT_EQ(opt_flag(a.argc(), a.argv(), "--pid=1", nullptr), 0);
}

TEST(OptFlag, ExactMatchOnly) {
  Args a{"--dump"};
  EXPECT_EQ(opt_flag(a.argc(), a.argv(), "--dump", nullptr), 1);
  Args with_value{"--dump=1"};
  EXPECT_EQ(opt_flag(with_value.argc(), with_value.argv(), "--dump", nullptr), 0);
  Args prefix{"--dumpx"};
  EXPECT_EQ(opt_flag(prefix.argc(), prefix.argv(), "--dump", nullptr), 0);
  Args alias{"-h"};
  EXPECT_EQ(opt_flag(alias.argc(), alias.argv(), "--help", "-h"), 1);
  EXPECT_EQ(opt_flag(alias.argc(), alias.argv(), "--help", nullptr), 0);
  Args after_dd{"--", "--help"};
  EXPECT_EQ(opt_flag(after_dd.argc(), after_dd.argv(), "--help", "-h"), 1);
  Args as_value{"--pid", "--help"};
  EXPECT_EQ(opt_flag(as_value.argc(), as_value.argv(), "--help", "-h"), 1);
}

TEST(OptFlag, NoArguments) {
  Args none{};
  EXPECT_EQ(opt_flag(none.argc(), none.argv(), "--dump", nullptr), 0);
  EXPECT_EQ(opt_flag(0, none.argv(), "--dump", nullptr), 0);
  Args a{"--dump"};
  EXPECT_EQ(opt_flag(a.argc(), a.argv(), nullptr, nullptr), 0);
}

} // namespace
