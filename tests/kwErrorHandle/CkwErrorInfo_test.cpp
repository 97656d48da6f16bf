#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include <kwcore/CkwErrorInfo.h>

namespace {

const GUID kSource = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

TEST(GlobalErrorManager, KeepsCopiesOfTheNewestRecordsInArrivalOrderFromAnyThread) {
  CkwGlobalErrorManager* manager = CkwGlobalErrorManager::kwGetGlobalErrorManager();
  CkwErrorInfo record, read;
  auto fields = [](CkwErrorInfo& r) {
    return std::tie(r.m_pCategory, r.m_nErrorCode, r.m_nSeverity, r.m_pSource, r.m_nMethod,
                    r.m_nLine);
  };
  EXPECT_EQ(fields(record), std::tuple(nullptr, 0, 0, nullptr, 0, 0));  // a fresh record is clear
  manager->kwClearErrorInfo();
  manager->kwSetErrorInfo(nullptr);  // ignored
  EXPECT_FALSE(manager->kwGetLastErrorInfo(&read));
  const int sent = manager->kCapacity + 10;
  for (int code = 1; code <= sent; ++code) {
    fields(record) = std::tuple(&GUID_NULL, code, 2, &kSource, 6, 123);
    manager->kwSetErrorInfo(&record);
  }
  EXPECT_TRUE(manager->kwGetErrorInfo(0, &read) && read.m_nErrorCode == 11);  // ten dropped
  EXPECT_TRUE(manager->kwGetLastErrorInfo(&read) && fields(read) == fields(record));
  EXPECT_FALSE(manager->kwGetErrorInfo(manager->kCapacity, &read) ||
               manager->kwGetErrorInfo(0, nullptr) || manager->kwGetLastErrorInfo(nullptr));
  std::thread threads[8];  // reporters and readers at once: nothing lost, nothing torn
  for (int t = 0; t < 8; ++t)
    threads[t] = std::thread([manager, t, read, record]() mutable {
      record.m_nErrorCode = record.m_nMethod = t;
      for (int i = 0; i < 2000; ++i) {
        manager->kwSetErrorInfo(&record);
        ASSERT_TRUE(manager->kwGetLastErrorInfo(&read) && read.m_nMethod == read.m_nErrorCode);
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::tuple(manager->kwGetErrorCount(), manager->kwGetTotalErrorCount()),
            std::tuple(manager->kCapacity, sent + 8u * 2000u));
}

}  // namespace
