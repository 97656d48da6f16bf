#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/CkwErrorInfo.h>

namespace {

const GUID kSource = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

CkwErrorInfo MakeRecord(std::int32_t code, std::int32_t severity) {
  CkwErrorInfo record;
  record.m_pSource = &kSource;
  record.m_nErrorCode = code;
  record.m_nSeverity = severity;
  record.m_nMethod = code * 10;
  record.m_nLine = code * 100;
  return record;
}

class GlobalErrorManager : public ::testing::Test {
 protected:
  void SetUp() override {
    CkwGlobalErrorManager::kwEnableGlobalErrorManager(true);
    manager = CkwGlobalErrorManager::kwGetGlobalErrorManager();
    ASSERT_NE(manager, nullptr);
    manager->kwClearErrorInfo();
  }
  void TearDown() override { CkwGlobalErrorManager::kwEnableGlobalErrorManager(true); }
  CkwGlobalErrorManager* manager = nullptr;
};

TEST(ErrorInfo, StartsClear) {
  CkwErrorInfo record;
  EXPECT_EQ(record.m_pCategory, nullptr);
  EXPECT_EQ(record.m_nErrorCode, 0);
  EXPECT_EQ(record.m_nSeverity, 0);
  EXPECT_EQ(record.m_pSource, nullptr);
  EXPECT_EQ(record.m_nMethod, 0);
  EXPECT_EQ(record.m_nLine, 0);
}

TEST_F(GlobalErrorManager, KeepsACopyThatOutlivesTheCallersRecord) {
  {
    CkwErrorInfo local = MakeRecord(7, 1);
    manager->kwSetErrorInfo(&local);
    local.m_nErrorCode = 99;  // the caller's record changes, or dies
  }
  CkwErrorInfo read;
  ASSERT_TRUE(manager->kwGetLastErrorInfo(&read));
  EXPECT_EQ(read.m_nErrorCode, 7);
  EXPECT_EQ(read.m_nSeverity, 1);
  EXPECT_EQ(read.m_pSource, &kSource);
  EXPECT_EQ(read.m_nMethod, 70);
  EXPECT_EQ(read.m_nLine, 700);
}

TEST_F(GlobalErrorManager, ReadsInArrivalOrderAndRefusesBadIndexes) {
  manager->kwSetErrorInfo(nullptr);  // ignored
  for (int code = 1; code <= 3; ++code) {
    CkwErrorInfo r = MakeRecord(code, 2);
    manager->kwSetErrorInfo(&r);
  }
  ASSERT_EQ(manager->kwGetErrorCount(), 3u);
  CkwErrorInfo read;
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(manager->kwGetErrorInfo(i, &read));
    EXPECT_EQ(read.m_nErrorCode, static_cast<int>(i + 1));
  }
  read.m_nErrorCode = -5;
  EXPECT_FALSE(manager->kwGetErrorInfo(3, &read));
  EXPECT_EQ(read.m_nErrorCode, -5);
  EXPECT_FALSE(manager->kwGetErrorInfo(0, nullptr));
}

TEST_F(GlobalErrorManager, DropsTheOldestBeyondCapacity) {
  const int sent = static_cast<int>(CkwGlobalErrorManager::kCapacity) + 10;
  for (int code = 1; code <= sent; ++code) {
    CkwErrorInfo r = MakeRecord(code, 2);
    manager->kwSetErrorInfo(&r);
  }
  EXPECT_EQ(manager->kwGetErrorCount(), CkwGlobalErrorManager::kCapacity);
  EXPECT_EQ(manager->kwGetTotalErrorCount(), static_cast<std::uint64_t>(sent));
  CkwErrorInfo read;
  ASSERT_TRUE(manager->kwGetErrorInfo(0, &read));
  EXPECT_EQ(read.m_nErrorCode, 11);
  ASSERT_TRUE(manager->kwGetLastErrorInfo(&read));
  EXPECT_EQ(read.m_nErrorCode, sent);
}

TEST_F(GlobalErrorManager, SwitchedOffItIsNotHandedOut) {
  CkwGlobalErrorManager::kwEnableGlobalErrorManager(false);
  EXPECT_EQ(CkwGlobalErrorManager::kwGetGlobalErrorManager(), nullptr);
  CkwGlobalErrorManager::kwEnableGlobalErrorManager(true);
  EXPECT_EQ(CkwGlobalErrorManager::kwGetGlobalErrorManager(), manager);
}

TEST_F(GlobalErrorManager, ConcurrentReportersAndReadersLoseNothing) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        CkwErrorInfo r = MakeRecord(t, 2);
        CkwGlobalErrorManager::kwGetGlobalErrorManager()->kwSetErrorInfo(&r);
      }
    });
  }
  threads.emplace_back([this] {
    CkwErrorInfo read;
    for (int i = 0; i < kPerThread; ++i) {
      if (manager->kwGetLastErrorInfo(&read)) {
        // A record is never seen half-written.
        EXPECT_EQ(read.m_nMethod, read.m_nErrorCode * 10);
        EXPECT_EQ(read.m_nLine, read.m_nErrorCode * 100);
      }
    }
  });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(manager->kwGetTotalErrorCount(), static_cast<std::uint64_t>(kThreads * kPerThread));
  EXPECT_EQ(manager->kwGetErrorCount(), CkwGlobalErrorManager::kCapacity);
}

}  // namespace
