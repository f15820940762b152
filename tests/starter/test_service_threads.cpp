// The thread table: a new thread takes the lowest free slot, and the threads a service leaves
// running are found wherever their slots lie among those taken and freed before.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "starter/service_threads.h"

namespace {

void* routine(void*) { return nullptr; }

struct Case
{
  const char* name;
  const char* first_service;     ///< whose the first threads are
  int first;                     ///< threads made first
  std::vector<int> ended;        ///< which of them end, in this order
  int after;                     ///< threads of "S" made after those ended
  size_t left;                   ///< threads "S" is found to have left running
};

TEST(ServiceThreads, LeftThreadsAreFoundWhereverTheirSlotsLie)
{
  const Case cases[] = {
      {"none made", "S", 0, {}, 0, 0},
      {"one above two freed slots", "S", 3, {0, 1}, 0, 1},
      {"a freed slot taken again", "S", 3, {0, 1}, 1, 2},
      {"all freed, then one", "S", 2, {1, 0}, 1, 1},
      {"another service's are not its", "T", 2, {}, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> slots;
    {
      Service_Threads_Scope const scope(c.first_service);
      for (int i = 0; i < c.first; ++i)
        slots.push_back(note_thread_created(routine, nullptr));
    }
    for (int i : c.ended)
      note_thread_ended(slots[i]);
    int lowest_freed = c.ended.empty() ? -1 : slots[c.ended[0]];
    for (int i : c.ended)
      lowest_freed = std::min(lowest_freed, slots[i]);
    {
      Service_Threads_Scope const scope("S");
      for (int i = 0; i < c.after; ++i) {
        int const slot = note_thread_created(routine, nullptr);
        if (i == 0 && lowest_freed >= 0) {
          EXPECT_EQ(lowest_freed, slot) << "the lowest free slot is taken";
        }
        slots.push_back(slot);
      }
    }
    Left_Threads const left = threads_left_by("S", nullptr, [] { return true; });
    EXPECT_EQ(c.left, left.own);
    EXPECT_EQ(c.left, threads_left_running());
    EXPECT_EQ(0u, threads_left_by("S", nullptr, [] { return true; }).own) << "counted once";
    for (size_t i = 0; i < slots.size(); ++i)
      if (std::find(c.ended.begin(), c.ended.end(), static_cast<int>(i)) == c.ended.end())
        note_thread_ended(slots[i]);
    EXPECT_EQ(0u, threads_left_running());
  }
}

}  // namespace
