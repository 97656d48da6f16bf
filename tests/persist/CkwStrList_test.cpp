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
  EXPECT_TRUE(list.kwGetString(index, &text, nullptr));
  return text;
}

const char* gText;  // scratch out-pointer for the rows
#define ROW(call, code, method) \
  kwFAILURE_ROW(CkwStrList, #call, call, code, kwSEVERITY_ERROR, method)
// The list holds "a" and "b" when each row runs.
const kwFailureRow<CkwStrList> kFailures[] = {
    ROW(o.kwAddString(nullptr, e), kwERROR_NULL_POINTER, 0),
    ROW(o.kwGetCount(nullptr, e), kwERROR_NULL_POINTER, 1),
    ROW(o.kwGetString(0, nullptr, e), kwERROR_NULL_POINTER, 2),
    ROW(o.kwGetString(5, nullptr, e), kwERROR_NULL_POINTER, 2),  // pointer tested first
    ROW(o.kwGetString(-1, &gText, e), kwERROR_OUT_OF_RANGE, 2),
    ROW(o.kwGetString(2, &gText, e), kwERROR_OUT_OF_RANGE, 2),
};
#undef ROW

TEST(CkwStrList, FailureTable) {
  kwRunFailureTable(
      kFailures, kStrListSource,
      [] {
        auto list = std::make_unique<CkwStrList>();
        EXPECT_TRUE(list->kwAddString("a", nullptr) && list->kwAddString("b", nullptr));
        return list;
      },
      [](CkwStrList& list) { EXPECT_EQ(CountOf(list), 2); });
  CkwStrList empty;
  CkwErrorInfo error;
  EXPECT_FALSE(empty.kwGetString(0, &gText, &error));
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_RANGE, kwSEVERITY_ERROR, 2, kStrListSource}));
}

TEST(CkwStrList, KeepsOwnCopiesInOrder) {
  CkwStrList list;
  std::string buffer = "first";
  const char* texts[] = {"first", "", "first", "a longer text with spaces"};
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(list.kwAddString(buffer.data(), &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kStrListSource);
  buffer.assign("CHANGED!");  // the caller's buffer is not kept
  for (const char* t : {texts[1], texts[2], texts[3]}) ASSERT_TRUE(list.kwAddString(t, nullptr));
  ASSERT_EQ(CountOf(list), 4);
  for (std::int32_t i = 0; i < 4; ++i) {
    EXPECT_STREQ(TextAt(list, i), texts[i]);
    EXPECT_NE(TextAt(list, i), texts[i]);
  }
  EXPECT_NE(TextAt(list, 0), TextAt(list, 2));  // a repeated text is stored twice
}

TEST(CkwStrList, HandedOutPointersSurviveGrowth) {
  CkwStrList list;
  std::vector<const char*> handedOut;
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(list.kwAddString(std::to_string(i).c_str(), nullptr));
    handedOut.push_back(TextAt(list, i));
  }
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(TextAt(list, i), handedOut[i]);
    ASSERT_STREQ(handedOut[i], std::to_string(i).c_str());
  }
}

TEST(CkwStrList, OutOfMemoryLeavesTheListUnchanged) {
  CkwStrList list;
  ASSERT_TRUE(list.kwAddString("kept", nullptr));
  CkwErrorInfo error;
  kwTest::FailAllocation(1);  // the copy of the text: the array has room
  EXPECT_FALSE(list.kwAddString("lost", &error));
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}));
  EXPECT_EQ(CountOf(list), 1);
}

}  // namespace
