#include <kwcore/CkwStrList.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/kwTestHooks.h"
#include "support/kwExpectFailure.h"

namespace {

const GUID kStrListSource = {
    0xACD6D56A, 0x9C56, 0x4156, {0xB7, 0x6A, 0x0A, 0xDF, 0x45, 0x2A, 0x9B, 0x09}};

kwExpectedFailure Expected(std::int32_t code, std::int32_t method) {
  return {code, kwSEVERITY_ERROR, method, kStrListSource};
}

std::int32_t CountOf(const CkwStrList& list) {
  std::int32_t count = -1;
  EXPECT_TRUE(list.kwGetCount(&count, nullptr));
  return count;
}

TEST(CkwStrList, NewListIsEmpty) {
  CkwStrList list;
  EXPECT_EQ(CountOf(list), 0);
  const char* text = nullptr;
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwGetString(0, &text, &error));
  EXPECT_TRUE(kwIsFailure(error, Expected(kwERROR_OUT_OF_RANGE, 2)));
  EXPECT_EQ(text, nullptr);
}

struct FailureRow {
  const char* condition;
  bool (*call)(CkwStrList&, CkwErrorInfo*);
  std::int32_t code;
  std::int32_t method;
};

// The list holds "a" and "b" when each row runs.
const FailureRow kFailures[] = {
    {"add null text", [](CkwStrList& l, CkwErrorInfo* e) { return l.kwAddString(nullptr, e); },
     kwERROR_NULL_POINTER, 0},
    {"count into null", [](CkwStrList& l, CkwErrorInfo* e) { return l.kwGetCount(nullptr, e); },
     kwERROR_NULL_POINTER, 1},
    {"read into null", [](CkwStrList& l, CkwErrorInfo* e) { return l.kwGetString(0, nullptr, e); },
     kwERROR_NULL_POINTER, 2},
    {"read into null at a bad position (pointer tested first)",
     [](CkwStrList& l, CkwErrorInfo* e) { return l.kwGetString(5, nullptr, e); },
     kwERROR_NULL_POINTER, 2},
    {"read position -1",
     [](CkwStrList& l, CkwErrorInfo* e) {
       const char* t = nullptr;
       return l.kwGetString(-1, &t, e);
     },
     kwERROR_OUT_OF_RANGE, 2},
    {"read position == count",
     [](CkwStrList& l, CkwErrorInfo* e) {
       const char* t = nullptr;
       return l.kwGetString(2, &t, e);
     },
     kwERROR_OUT_OF_RANGE, 2},
};

TEST(CkwStrList, FailureTable) {
  for (const FailureRow& row : kFailures) {
    SCOPED_TRACE(row.condition);
    CkwStrList list;
    ASSERT_TRUE(list.kwAddString("a", nullptr));
    ASSERT_TRUE(list.kwAddString("b", nullptr));
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(row.call(list, &error));
    EXPECT_TRUE(kwIsFailure(error, Expected(row.code, row.method)));
    EXPECT_FALSE(row.call(list, nullptr));  // a null record is allowed
    EXPECT_EQ(CountOf(list), 2);            // unchanged
  }
}

TEST(CkwStrList, SuccessStampsSourceAndClearsSeverity) {
  CkwStrList list;
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(list.kwAddString("x", &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kStrListSource);
}

TEST(CkwStrList, KeepsOrderEmptyAndRepeatedTexts) {
  CkwStrList list;
  const char* texts[] = {"first", "", "first", "a longer text with spaces"};
  for (const char* t : texts) ASSERT_TRUE(list.kwAddString(t, nullptr));
  ASSERT_EQ(CountOf(list), 4);
  for (std::int32_t i = 0; i < 4; ++i) {
    const char* got = nullptr;
    ASSERT_TRUE(list.kwGetString(i, &got, nullptr));
    EXPECT_STREQ(got, texts[i]);
    EXPECT_NE(got, texts[i]);  // the list's own copy
  }
  const char* a = nullptr;
  const char* b = nullptr;
  ASSERT_TRUE(list.kwGetString(0, &a, nullptr));
  ASSERT_TRUE(list.kwGetString(2, &b, nullptr));
  EXPECT_NE(a, b);  // a repeated text is stored twice
}

TEST(CkwStrList, CopiesTheCallersBuffer) {
  CkwStrList list;
  std::string buffer = "original";
  ASSERT_TRUE(list.kwAddString(buffer.data(), nullptr));
  buffer.assign("CHANGED!");
  buffer.clear();
  buffer.shrink_to_fit();
  const char* got = nullptr;
  ASSERT_TRUE(list.kwGetString(0, &got, nullptr));
  EXPECT_STREQ(got, "original");
}

TEST(CkwStrList, HandedOutPointersSurviveGrowth) {
  CkwStrList list;
  std::vector<const char*> handedOut;
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(list.kwAddString(std::to_string(i).c_str(), nullptr));
    const char* got = nullptr;
    ASSERT_TRUE(list.kwGetString(i, &got, nullptr));
    handedOut.push_back(got);
  }
  for (int i = 0; i < 5000; ++i) {
    const char* again = nullptr;
    ASSERT_TRUE(list.kwGetString(i, &again, nullptr));
    ASSERT_EQ(again, handedOut[i]);
    ASSERT_STREQ(handedOut[i], std::to_string(i).c_str());
  }
}

TEST(CkwStrList, OutOfMemoryLeavesTheListUnchanged) {
  CkwStrList list;
  ASSERT_TRUE(list.kwAddString("kept", nullptr));
  CkwErrorInfo error;
  kwTestHooks::FailNextAllocations(1);
  EXPECT_FALSE(list.kwAddString("lost", &error));
  kwTestHooks::FailNextAllocations(0);
  EXPECT_TRUE(kwIsFailure(error, Expected(kwERROR_OUT_OF_MEMORY, 0)));
  EXPECT_EQ(CountOf(list), 1);
}

}  // namespace
