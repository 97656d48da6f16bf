#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/CkwErrorInfo.h>

namespace {

const GUID kSource = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

CkwErrorInfo Record(int code) {
  CkwErrorInfo r;
  std::tie(r.m_pCategory, r.m_nErrorCode, r.m_nSeverity, r.m_pSource, r.m_nMethod, r.m_nLine) =
      std::tuple(&kSource, code, 2, &kSource, code * 10, code * 100);
  return r;
}
auto Fields(const CkwErrorInfo& r) {
  return std::tuple(r.m_pCategory, r.m_nErrorCode, r.m_nSeverity, r.m_pSource, r.m_nMethod,
                    r.m_nLine);
}

TEST(GlobalErrorManager, KeepsCopiesOfTheNewestRecordsInArrivalOrder) {
  CkwErrorInfo read;
  EXPECT_EQ(Fields(read), std::tuple(nullptr, 0, 0, nullptr, 0, 0));
  CkwGlobalErrorManager* manager = CkwGlobalErrorManager::kwGetGlobalErrorManager();
  ASSERT_NE(manager, nullptr);
  manager->kwClearErrorInfo();
  manager->kwSetErrorInfo(nullptr);  // ignored
  EXPECT_FALSE(manager->kwGetLastErrorInfo(&read));
  const int sent = CkwGlobalErrorManager::kCapacity + 10;
  for (int code = 1; code <= sent; ++code) manager->kwSetErrorInfo(&(read = Record(code)));
  EXPECT_EQ(manager->kwGetErrorCount(), CkwGlobalErrorManager::kCapacity);
  EXPECT_EQ(manager->kwGetTotalErrorCount(), static_cast<std::uint64_t>(sent));
  ASSERT_TRUE(manager->kwGetErrorInfo(0, &read));
  EXPECT_EQ(Fields(read), Fields(Record(11)));  // the ten oldest dropped
  ASSERT_TRUE(manager->kwGetLastErrorInfo(&read));
  EXPECT_EQ(Fields(read), Fields(Record(sent)));
  EXPECT_FALSE(manager->kwGetErrorInfo(CkwGlobalErrorManager::kCapacity, &read));
  EXPECT_FALSE(manager->kwGetErrorInfo(0, nullptr) || manager->kwGetLastErrorInfo(nullptr));
  EXPECT_EQ(read.m_nErrorCode, sent);
  CkwGlobalErrorManager::kwEnableGlobalErrorManager(false);
  EXPECT_EQ(CkwGlobalErrorManager::kwGetGlobalErrorManager(), nullptr);
  CkwGlobalErrorManager::kwEnableGlobalErrorManager(true);
  EXPECT_EQ(CkwGlobalErrorManager::kwGetGlobalErrorManager(), manager);
}

TEST(GlobalErrorManager, ConcurrentReportersAndReadersLoseNothingAndSeeNoHalfRecord) {
  CkwGlobalErrorManager* manager = CkwGlobalErrorManager::kwGetGlobalErrorManager();
  manager->kwClearErrorInfo();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([manager, t] {
      CkwErrorInfo read, record = Record(t);
      for (int i = 0; i < 2000; ++i) {
        manager->kwSetErrorInfo(&record);
        ASSERT_TRUE(manager->kwGetLastErrorInfo(&read));  // never a record half-written
        ASSERT_EQ(read.m_nLine, read.m_nErrorCode * 100);
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(manager->kwGetTotalErrorCount(), 8u * 2000u);
}

}  // namespace
