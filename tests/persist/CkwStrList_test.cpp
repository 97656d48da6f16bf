#include <kwcore/CkwStrList.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/kwExpectFailure.h"
#include "support/kwFailingAllocation.h"

namespace {

const GUID kStrListSource = {
    0xACD6D56A, 0x9C56, 0x4156, {0xB7, 0x6A, 0x0A, 0xDF, 0x45, 0x2A, 0x9B, 0x09}};

auto CountOf(const CkwStrList& list) { return kwRead(list, &CkwStrList::kwGetCount); }

const char* TextAt(const CkwStrList& list, std::int32_t index) {
  const char* text = nullptr;
  return list.kwGetString(index, &text, nullptr) ? text : "<failed>";
}

const char* gText;  // scratch out-pointer for the rows
#define ROW(call, code, method) kwFAILURE_ROW(CkwStrList, #call, call, code, 2, method)
const kwFailureRow<CkwStrList> kFailures[] = {
    // on a list holding "a" and "b"
    ROW(o.kwAddString(nullptr, e), 2, 0),     ROW(o.kwGetCount(nullptr, e), 2, 1),
    ROW(o.kwGetString(5, nullptr, e), 2, 2),  // the pointer is tested first
    ROW(o.kwGetString(-1, &gText, e), 10, 2), ROW(o.kwGetString(2, &gText, e), 10, 2),
};
#undef ROW

TEST(CkwStrList, FailuresOwnCopiesInOrderAndOutOfMemory) {
  kwRunFailureTable(
      kFailures, kStrListSource,
      [] {
        auto list = std::make_unique<CkwStrList>();
        EXPECT_TRUE(list->kwAddString("a", nullptr) && list->kwAddString("b", nullptr));
        return list;
      },
      [](CkwStrList& list) { EXPECT_EQ(CountOf(list), 2); });
  CkwStrList list, kept;
  std::vector<std::string> texts = {"first", "", "first"};
  for (int i = 0; i < 100; ++i) texts.push_back(std::to_string(i));  // the list grows
  std::string buffer = texts[0];
  ASSERT_TRUE(list.kwAddString(buffer.data(), nullptr));
  const char* first = TextAt(list, 0);
  buffer.assign("CHANGED!");  // the caller's buffer is not kept
  for (std::size_t i = 1; i < texts.size(); ++i) list.kwAddString(texts[i].c_str(), nullptr);
  ASSERT_EQ(CountOf(list), static_cast<std::int32_t>(texts.size()));
  for (std::int32_t i = 0; i < CountOf(list); ++i) EXPECT_EQ(TextAt(list, i), texts[i]);
  EXPECT_EQ(TextAt(list, 0), first);            // handed-out pointers survive growth
  EXPECT_NE(TextAt(list, 0), TextAt(list, 2));  // a repeated text is stored twice
  CkwErrorInfo error;
  ASSERT_TRUE(kept.kwAddString("kept", nullptr));
  kwTest::FailAllocation(1);  // the copy of the text: the array has room
  EXPECT_FALSE(kept.kwAddString("lost", &error));
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}));
  EXPECT_EQ(CountOf(kept), 1);
}

}  // namespace
