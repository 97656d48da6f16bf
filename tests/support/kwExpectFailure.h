// Checks a failed operation's error record against a row of a class's
// failure table: code, severity, method number and reporting class.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwcpp.h>

struct kwExpectedFailure {
  std::int32_t code;
  std::int32_t severity;
  std::int32_t method;
  GUID source;
};

inline ::testing::AssertionResult kwIsFailure(const CkwErrorInfo& error,
                                              const kwExpectedFailure& expected) {
  auto result = ::testing::AssertionSuccess();
  bool ok = error.m_pCategory != nullptr && *error.m_pCategory == kwGUID_ErrorCategoryGeneral &&
            error.m_nErrorCode == expected.code && error.m_nSeverity == expected.severity &&
            error.m_nMethod == expected.method && error.m_pSource != nullptr &&
            *error.m_pSource == expected.source && error.m_nLine > 0;
  if (ok) return result;
  return ::testing::AssertionFailure()
         << "got " << kwErrorText(error) << "; wanted code " << expected.code << " severity "
         << expected.severity << " method " << expected.method << " source "
         << kwGuidText(expected.source);
}

/// A record whose fields all hold values no operation writes, so that a test
/// sees what a call really filled in.
inline CkwErrorInfo kwStaleRecord() {
  static const GUID stale = {0x5EA1E000, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0x5E}};
  CkwErrorInfo error;
  error.m_pCategory = &stale;
  error.m_pSource = &stale;
  error.m_nErrorCode = -77;
  error.m_nSeverity = -77;
  error.m_nMethod = -77;
  error.m_nLine = -77;
  return error;
}

/// One row of a class's failure table: a call on an object of type T, and the
/// code, severity and method number it must fail with.
template <class T>
struct kwFailureRow {
  const char* condition;
  bool (*call)(T&, CkwErrorInfo*);
  std::int32_t code;
  std::int32_t severity;
  std::int32_t method;
};

/// A row whose call is an expression over `o` (the object) and `e` (the record).
#define kwFAILURE_ROW(T, condition, call, code, severity, method)                                  \
  kwFailureRow<T> {                                                                                \
    condition, []([[maybe_unused]] T& o, CkwErrorInfo* e) { return call; }, code, severity, method \
  }

/// Runs every row on a fresh object from `make`, once with a stale record and
/// once with none; `unchanged` checks the object afterwards.
template <class T, std::size_t N, class Make, class Check>
void kwRunFailureTable(const kwFailureRow<T> (&rows)[N], const GUID& source, Make make,
                       Check unchanged) {
  for (const kwFailureRow<T>& row : rows) {
    SCOPED_TRACE(row.condition);
    auto object = make();
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(row.call(*object, &error));
    EXPECT_TRUE(kwIsFailure(error, {row.code, row.severity, row.method, source}));
    EXPECT_FALSE(row.call(*object, nullptr));
    unchanged(*object);
  }
}

/// What a getter of the form `bool Get(T* out, CkwErrorInfo*) const` hands
/// back; a failed call fails the test.
template <class T, class C>
T kwRead(const C& object, bool (C::*get)(T*, CkwErrorInfo*) const) {
  T value{};
  EXPECT_TRUE((object.*get)(&value, nullptr));
  return value;
}
