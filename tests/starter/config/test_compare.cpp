// The comparison a "changed" reload makes: per rule, a configuration before and after, and
// which services are kept, opened, re-opened and removed, and which directives are carried out.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "starter/config/compare.h"

namespace {

std::vector<Conf_Entry> entries(const std::string& text)
{
  std::vector<Conf_Problem> problems;
  std::vector<Conf_Entry> e;
  read_directives(text, "f.conf", problems, nullptr, &e);
  EXPECT_TRUE(problems.empty()) << text;
  return e;
}

const char A[] = "dynamic A Service_Object * lib:make() \"-p 1\"\n";
const char B[] = "dynamic B Service_Object * lib:make() \"-p 2\"\n";

struct Row
{
  const char* rule;
  std::string before, after;
  std::set<std::string> new_code;
  std::string kept, opened, reopened, removed;  ///< names, one blank apart, in plan order
  std::string apply;                            ///< "keyword name" of each carried out
};

std::string names(const Reload_Plan& p, Service_Change c)
{
  std::string s;
  for (const Service_Step& step : p.services)
    if (step.change == c)
      s += (s.empty() ? "" : " ") + step.name;
  return s;
}

TEST(ReloadPlan, EachRuleKeepsOpensReopensAndRemovesWhatItSays)
{
  const Row rows[] = {
      {"same text", std::string(A) + B, std::string(A) + B, {}, "A B", "", "", "", ""},
      {"moved, comments, blanks and line breaks differ", std::string(A) + B,
       std::string("# b first\n") + B + "dynamic A Service_Object *\n  lib:make()   \"-p 1\" # x\n",
       {}, "B A", "", "", "", ""},
      {"arguments changed", std::string(A) + B, std::string(A) + "dynamic B Service_Object * lib:make() \"-p 3\"\n",
       {}, "A", "", "B", "", "dynamic B"},
      {"active flag changed", A, "dynamic A Service_Object * lib:make() inactive \"-p 1\"\n", {},
       "", "", "A", "", "dynamic A"},
      {"factory changed", A, "dynamic A Service_Object * lib:other() \"-p 1\"\n", {}, "", "", "A",
       "", "dynamic A"},
      {"library file holds new code", std::string(A) + B, std::string(A) + B, {"B"}, "A", "", "B",
       "", "dynamic B"},
      {"removed", std::string(A) + B, A, {}, "A", "", "", "B", ""},
      {"added, in configuration order", A,
       std::string("dynamic C Service_Object * lib:make() \"\"\n") + A + B, {}, "A", "C B", "", "",
       "dynamic C dynamic B"},
      {"the last definition of a name counts", A, std::string(B) + A, {}, "A", "B", "", "",
       "dynamic B"},
      {"an unchanged suspend is not carried out again", std::string(A) + "suspend A\n",
       std::string(A) + "suspend A\n", {}, "A", "", "", "", ""},
      {"a new suspend is carried out", A, std::string(A) + "suspend A\n", {}, "A", "", "", "",
       "suspend A"},
      {"a suspend of a re-opened service is carried out again", std::string(A) + "suspend A\n",
       "dynamic A Service_Object * lib:make() \"-p 9\"\nsuspend A\n", {}, "", "", "A", "",
       "dynamic A suspend A"},
      {"a dropped static is not undone", std::string(A) + "static S \"-x\"\n", A, {}, "A", "", "",
       "", ""},
      {"a changed static is carried out", "static S \"-x\"\n", "static S \"-y\"\n", {}, "", "", "",
       "", "static S"},
  };
  for (const Row& r : rows) {
    std::vector<Conf_Entry> const before = entries(r.before);
    std::vector<Conf_Entry> const after = entries(r.after);
    Reload_Plan const p = plan_reload(before, after, r.new_code);
    EXPECT_EQ(r.kept, names(p, SERVICE_KEPT)) << r.rule;
    EXPECT_EQ(r.opened, names(p, SERVICE_OPENED)) << r.rule;
    EXPECT_EQ(r.reopened, names(p, SERVICE_REOPENED)) << r.rule;
    EXPECT_EQ(r.removed, names(p, SERVICE_REMOVED)) << r.rule;
    std::string apply;
    for (const Conf_Entry* e : p.apply)
      apply += (apply.empty() ? "" : " ") + e->keyword + " " + e->name;
    EXPECT_EQ(r.apply, apply) << r.rule;
    // Everything removed or re-opened is finalised first.
    EXPECT_EQ(static_cast<size_t>(p.removed + p.reopened), p.finalise.size()) << r.rule;
  }
}

TEST(ReloadPlan, SaysWhyAServiceIsReopened)
{
  std::vector<Conf_Entry> const before = entries(A);
  const struct
  {
    std::string after;
    std::set<std::string> new_code;
    const char* why;
  } rows[] = {
      {"dynamic A Service_Object * lib:make() \"-p 2\"\n", {}, "arguments changed"},
      {"dynamic A Service_Object * other:make() \"-p 1\"\n", {}, "library changed"},
      {"dynamic A Service_Object * lib:make() active \"-p 1\"\n", {}, "directive changed"},
      {A, {"A"}, "its library changed"},
  };
  for (const auto& r : rows) {
    std::vector<Conf_Entry> const after = entries(r.after);
    Reload_Plan const p = plan_reload(before, after, r.new_code);
    ASSERT_EQ(1u, p.services.size()) << r.after;
    EXPECT_STREQ(r.why, reopen_reason_text(p.services[0].why)) << r.after;
  }
}

}  // namespace
