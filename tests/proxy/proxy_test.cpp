#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/kwcore.h>
#include <kwcore/kwcpp.h>

#include "components/kwTestComponents.h"
#include "kwHostMasters.h"
#include "support/CkwFaultyStorage.h"
#include "support/kwExpectFailure.h"
#include "support/kwStorageTestUtil.h"
#include "support/kwTempDir.h"
#include "support/kwTestCounters.h"

namespace {

/// Itanium ABI on x86-64: a virtual member's pointer holds its vtable byte offset plus one.
template <class MemberFunction>
int kwVtableSlot(MemberFunction function) {
  std::uintptr_t pointer;
  std::memcpy(&pointer, &function, sizeof pointer);
  return (pointer & 1) ? static_cast<int>((pointer - 1) / sizeof(void*)) : -1;
}

template <class C = CkwServiceObject>
using Object = CkwObjectPtr<C>;

template <class C>
Object<C> New() {
  CkwServiceObject* object = nullptr;
  EXPECT_TRUE(C::kwCreateObject(&object, nullptr));
  return Object<C>(static_cast<C*>(object));
}

CkwServiceObject* MasterOf(CkwVrelProxyBase* proxy) {
  CkwServiceObject* master = nullptr;
  return proxy->kwGetMasterObject(&master, nullptr) ? master : nullptr;
}

// The seven concrete proxies as published; `check` runs the class's checks.
template <class C>
void CheckKind(const struct Kind& kind, IStorage* root, IStorage* expected);
struct Kind {
  const char* name;
  const GUID& master;
  const char *clsidText, *masterText;
  std::int32_t type, loadMethod;
  void (*check)(const Kind&, IStorage*, IStorage*);
};
// clang-format off
#define KIND(C, clsid, master, type, load) {#C, CLSID_##C##Master, clsid, master, type, load, &CheckKind<C>}
const Kind kKinds[] = {
  KIND(CkwVrelAudioMediaFileProxy, "62A16865-454E-4FFF-8DDD-2E401B0B2B6A", "9DB863C6-67DB-4994-A673-AEF43F8E3854",  28,  5),
  KIND(CkwVrelImageMediaFileProxy, "5224B992-B4A4-4401-9815-D9F47155FA2C", "9E64326B-C483-44D8-9AD1-3B2DED9891CE",  29,  2),
  KIND(CkwVrelVideoMediaFileProxy, "626BD2D7-555F-480E-8032-BBEB07F41C1D", "EFC37143-F840-4A15-A544-46D55958E323",  66, 10),
  KIND(CkwVrelQMXMediaFileProxy,   "5988E0C1-F7A5-4DA3-A7DB-91C9AA8A2E99", "963C44A4-7388-4561-8624-C5E53E7A6304", 112,  1),
  KIND(CkwVrelImageSlideshowProxy, "1D964FDB-F580-4DB6-BDE4-BFCB586F8AE5", "532CE51C-62CE-4851-9998-09F4F079C657",  30,  4),
  KIND(CkwVrelVideoSlideshowProxy, "78F12041-E55D-4FEF-8C64-0645E2ECA21A", "0B658FCD-9C53-4FCD-BFA8-9C987DD428EA",  33,  5),
  KIND(CkwVrelJRVSlideshowProxy,   "9A8BA917-808A-423F-9D14-2ECCFBA621FB", "4212791B-BF06-4300-AB1E-39FB8F9EFC4B",  31,  5),
};
// clang-format on

// Registered once, before any test: the factory keeps what it resolved.
const bool kRegistered = [] {
  static kwTest::TempDir dir;
  std::vector<std::pair<GUID, std::string>> pairs;
  for (const Kind& kind : kKinds) pairs.push_back({kind.master, KWTEST_HOST_MASTERS_MODULE});
  pairs.push_back({CLSID_kwTestCountedA, kwTest::ComponentPath("kwtest_counting")});
  for (GUID clsid :
       {CLSID_kwTestWarnsWithObject, CLSID_kwTestErrsWithObject, CLSID_kwTestSilentNull})
    pairs.push_back({clsid, kwTest::ComponentPath("kwtest_failing")});
  kwTest::WriteFile(dir / "masters.ini", kwTest::Registration(pairs));
  return CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr) &&
         CkwObjectFactory::kwSetComponentRegistrationFile(dir.path().c_str(), "masters.ini",
                                                          nullptr);
}();

/// What `master` was told, in order, with proxies named as in `names`.
std::string Log(CkwServiceObject* master,
                std::vector<std::pair<const CkwServiceObject*, const char*>> names) {
  static auto read = reinterpret_cast<kwHostMastersReadCallsFunction>(
      dlsym(dlopen(KWTEST_HOST_MASTERS_MODULE, RTLD_NOW), kwHOST_MASTERS_READ_CALLS));
  kwHostMasterCall calls[16];
  std::string log;
  for (int i = 0, count = read(master, calls, 16); i < count && i < 16; ++i) {
    log += i > 0 ? ", " : "";
    log += calls[i].eKind == kwHOST_MASTER_ATTACH ? "attach"
                                                  : "event " + std::to_string(calls[i].nEvent);
    for (auto [proxy, name] : names)
      if (proxy == calls[i].pProxy) log += std::string(" ") + name;
  }
  return log;
}

const std::string kBlock = std::string("KWMB\x20\0\0\0", 8) + std::string(32, '\0');

template <class C>
void CheckKind(const Kind& kind, IStorage* root, IStorage* expected) {
  SCOPED_TRACE(kind.name);
  Object<C> proxy = New<C>();
  GUID clsid{};
  ASSERT_TRUE(proxy->kwGetCLSID(&clsid, nullptr));
  EXPECT_EQ(kwTest::Key(clsid), kind.clsidText);  // also CLSID_<class>, which the class reports
  // Its own type number only; the image one also 5; the JRV one not its parent's 33.
  for (std::int32_t type : {5, 28, 29, 30, 31, 33, 66, 101, 112}) {
    bool answer = type == kind.type || (type == 5 && kind.type == 29), isKind = !answer;
    ASSERT_TRUE(proxy->kwIsKindOf(&kwGUID_ObjectType, type, &isKind, nullptr));
    EXPECT_EQ(isKind, answer) << type;
  }
  // Its stream, read back; another kind's refused; faults on create and write.
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(proxy->kwSave(root, &error) && proxy->kwLoad(root, &error));
  kwtest::PutStream(expected, kwtest::U16(kind.name), kBlock);
  CkwComPtr<IStorage> foreign = kwtest::MemoryRoot();
  kwtest::PutStream(foreign.get(), kwtest::U16(kKinds[&kind == &kKinds[6] ? 5 : 6].name), kBlock);
  EXPECT_FALSE(proxy->kwLoad(foreign.get(), &error));
  EXPECT_TRUE(kwIsFailure(error, {27, 1, kind.loadMethod, clsid}));
  for (int createFails : {1, 0}) {
    auto plan = std::make_shared<kwtest::CkwFaultPlan>(
        kwtest::CkwFaultPlan{.failCreateAt = createFails, .failWriteAt = 1 - createFails});
    CkwComPtr<IStorage> faulty(kwtest::WrapWithFaults(foreign.get(), plan));
    EXPECT_FALSE(proxy->kwSave(faulty.get(), &error));
    EXPECT_TRUE(kwIsFailure(error, {createFails ? 26 : 24, 2 - createFails, kind.loadMethod + 1,
                                    clsid}));  // kwSave follows kwLoad in every class
  }

  // Linked to a master of its master CLSID (what the master hears: ProxyLink below).
  ASSERT_TRUE(proxy->kwLinkToMasterObject(&error));
  Object<> master(MasterOf(proxy.get()));
  GUID masterCLSID{};  // what the sample module was asked for
  ASSERT_TRUE(master->kwGetCLSID(&masterCLSID, nullptr));
  EXPECT_EQ(kwTest::Key(masterCLSID), kind.masterText);
  EXPECT_TRUE(proxy->kwIsolateFromHostProject(&error));
  EXPECT_EQ(MasterOf(proxy.get()), master.get());
  proxy.reset();  // before its master
}

TEST(Proxy, IdentityKindsStreamsAndMasters) {
  ASSERT_TRUE(kRegistered);
  kwTest::TempDir dir;
  CkwComPtr<IStorage> root, expected = kwtest::MemoryRoot();
  ASSERT_EQ(StgCreateDocfile((dir / "project.cfb").c_str(), kwtest::kRW, 0, root.put()), S_OK);
  for (const Kind& kind : kKinds) kind.check(kind, root.get(), expected.get());
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(kwtest::OlefileDump(dir / "project.cfb", false), kwtest::Dump(expected.get()));
}

// Every operation a class adds, in slot order, with its method number. kwLoad,
// kwSave and kwIsEqual fail with code 2 (given a null storage or proxy), the
// rest with 8. Other pointers point into a guard that must stay untouched.
// clang-format off
template <class P>
P Argument(unsigned char* guard, CkwErrorInfo* e) {
  if constexpr (std::is_same_v<P, CkwErrorInfo*>) return e;
  else if constexpr (!std::is_pointer_v<P>) return static_cast<P>(7);
  else if constexpr (std::is_polymorphic_v<std::remove_pointer_t<P>>) return nullptr;
  else return reinterpret_cast<P>(guard);
}
// clang-format on

template <class C>
using Operation =
    std::tuple<std::string_view, int, std::int32_t, bool (*)(C*, unsigned char*, CkwErrorInfo*)>;

template <class C>
void CheckOperations(int slot, std::initializer_list<Operation<C>> operations) {
  CkwServiceObject* master = nullptr;
  ASSERT_TRUE(CkwObjectFactory::kwCreateObject(&kKinds[0].master, &master, nullptr));
  Object<> owner(master);  // outlives the proxy linked to it
  Object<C> unlinked = New<C>(), linked = New<C>();
  GUID source{};
  ASSERT_TRUE(linked->kwGetCLSID(&source, nullptr) && linked->kwSetMasterObject(master, nullptr));
  for (auto [name, found, method, call] : operations) {
    SCOPED_TRACE(name);
    EXPECT_EQ(found, slot++);
    bool implemented = name == "Load" || name == "Save" || name == "IsEqual";
    for (C* proxy : {unlinked.get(), linked.get()}) {
      alignas(std::max_align_t) unsigned char guard[sizeof(SAVEDATA)];
      std::memset(guard, 0xA5, sizeof guard);
      CkwErrorInfo error = kwStaleRecord();
      EXPECT_FALSE(call(proxy, guard, &error));
      EXPECT_TRUE(kwIsFailure(error, {implemented ? 2 : 8, 2, method, source}));
      EXPECT_EQ(std::count(guard, std::end(guard), 0xA5), std::ssize(guard));
    }
  }
}

// clang-format off
#define OP(op, method) Operation<C>{#op, kwVtableSlot(&C::kw##op), method, [](C* o, unsigned char* g, CkwErrorInfo* e) { \
    return [&]<class... P>(bool (C::*f)(P...)) { return (o->*f)(Argument<P>(g, e)...); }(&C::kw##op); }}
#define CHECK(Class, slot, ...) { using C = Class; CheckOperations<C>(slot, {__VA_ARGS__}); }

TEST(Proxy, OperationsInSlotOrderFailWithTheirNumbersAndTouchNothing) {
  EXPECT_EQ(kwVtableSlot(&SkwVrelMasterObject_Link::kwAttachProxy), 1);
  EXPECT_EQ(kwVtableSlot(&SkwVrelMasterObject_Notify::kwNotifyProxyEvent), 0);
  // After CkwServiceObject's five, the destructor taking two slots.
  CHECK(CkwVrelProxyBase, 6, OP(IsolateFromHostProject, 4));
  CHECK(CkwVrelAudioMediaFileProxy, 7, OP(ReadSampleBegin, 1), OP(ReadSample, 2), OP(ReadSampleEnd, 3),
        OP(Clone, 4), OP(Load, 5), OP(Save, 6), OP(GetMediaFileName, 7), OP(SetMediaFileName, 8),
        OP(GetDiscSpace, 9), OP(GetWorkingSpace, 10), OP(IsEqual, 11), OP(GetSourceDuration, 12));
  CHECK(CkwVrelImageMediaFileProxy, 7, OP(ReadBuffer, 1), OP(Load, 2), OP(Save, 3), OP(Clone, 4),
        OP(GetMediaFileName, 5), OP(SetMediaFileName, 6), OP(GetDiscSpace, 7), OP(GetWorkingSpace, 8),
        OP(IsEqual, 9), OP(GetSourceDimension, 10));
  CHECK(CkwVrelVideoMediaFileProxy, 7, OP(GetMediaFileName, 1), OP(SetMediaFileName, 2), OP(GetDiscSpace, 3),
        OP(GetWorkingSpace, 4), OP(IsEqual, 5), OP(ReadFrameBegin, 6), OP(ReadFrame, 7), OP(ReadFrameEnd, 8),
        OP(Clone, 9), OP(Load, 10), OP(Save, 11), OP(GetTotalSourceFrame, 13), OP(GetSourceDimension, 12));
  CHECK(CkwVrelQMXMediaFileProxy, 7, OP(Load, 1), OP(Save, 2), OP(Clone, 3), OP(GetMediaFileName, 4),
        OP(SetMediaFileName, 5), OP(IsEqual, 6));
  CHECK(CkwVrelImageSlideshowProxy, 7, OP(GetPhotoDIBBuffer, 10), OP(ReadFrameBegin, 1), OP(ReadFrame, 2),
        OP(ReadFrameEnd, 3), OP(Load, 4), OP(Save, 5), OP(Clone, 6), OP(GetDiscSpace, 7), OP(GetWorkingSpace, 8),
        OP(IsEqual, 9), OP(GetSourceDuration, 11), OP(GetSourceDimension, 12), OP(GetPhotoCount, 13),
        OP(GetPhotoDuration, 14));
  CHECK(CkwVrelVideoSlideshowProxy, 7, OP(ReadFrameBegin, 1), OP(ReadFrame, 2), OP(ReadFrameEnd, 3),
        OP(Clone, 4), OP(Load, 5), OP(Save, 6), OP(GetMediaFileName, 7), OP(SetMediaFileName, 8),
        OP(GetDiscSpace, 9), OP(GetWorkingSpace, 10), OP(IsEqual, 11), OP(GetTotalSourceFrame, 12),
        OP(GetSourceDimension, 13));
  // The parent's slots, its own numbers.
  CHECK(CkwVrelJRVSlideshowProxy, 7, OP(ReadFrameBegin, 1), OP(ReadFrame, 2), OP(ReadFrameEnd, 3),
        OP(Clone, 4), OP(Load, 5), OP(Save, 6), OP(GetMediaFileName, 7), OP(SetMediaFileName, 8),
        OP(GetDiscSpace, 9), OP(GetWorkingSpace, 10), OP(IsEqual, 11), OP(GetTotalSourceFrame, 13),
        OP(GetSourceDimension, 12));
}
// clang-format on

TEST(ProxyLink, AttachEventsAndOneGoodbyePerProxyOrCopy) {
  using Audio = CkwVrelAudioMediaFileProxy;
  Object<Audio> proxy = New<Audio>(), assigned = New<Audio>();
  EXPECT_TRUE(proxy->kwNotifyMasterObjectContentChange(nullptr));  // unlinked: nobody to tell
  bool equal = false;                                              // however the two are linked

  ASSERT_TRUE(proxy->kwLinkToMasterObject(nullptr));
  Object<> master(MasterOf(proxy.get()));
  CkwErrorInfo error = kwStaleRecord();
  EXPECT_FALSE(proxy->kwLinkToMasterObject(&error));
  EXPECT_TRUE(kwIsFailure(error, {18, 2, 2, CLSID_CkwVrelProxyBase}));
  EXPECT_TRUE(proxy->kwNotifyMasterObjectContentChange(&error));
  EXPECT_TRUE(proxy->kwIsEqual(assigned.get(), &equal, &error) && equal);

  // Copies share the master unattached, yet each says goodbye.
  Object<Audio> copy(new Audio(*proxy));
  *assigned = *proxy;
  const CkwServiceObject *p = proxy.get(), *c = copy.get(), *a = assigned.get();
  copy.reset();
  assigned.reset();
  EXPECT_TRUE(proxy->kwSetMasterObject(master.get(), nullptr));  // attached a second time

  // Unlinked, the old master hears nothing more; linking is accepted again.
  ASSERT_TRUE(proxy->kwSetMasterObject(nullptr, &error));
  ASSERT_TRUE(proxy->kwLinkToMasterObject(&error));
  Object<> second(MasterOf(proxy.get()));
  proxy.reset();
  EXPECT_EQ(Log(master.get(), {{p, "p"}, {c, "c"}, {a, "a"}}),
            "attach p, event 3 p, event 0 c, event 0 a, attach p");
  EXPECT_EQ(Log(second.get(), {{p, "p"}}), "attach p, event 0 p");
}

struct LinkProbe : CkwVrelProxyBase {
  using CkwVrelProxyBase::kwLinkToMasterObject;  // to any CLSID
};

TEST(ProxyLink, FailedLinksKeepNothing) {
  const GUID& base = CLSID_CkwVrelProxyBase;  // reporting what the base found
  const kwExpectedFailure asReported = {kwTestFailingErrorCode, 2, kwTestFailingMethod,
                                        kwTestFailingSource};
  std::tuple<const GUID*, kwExpectedFailure, int> cases[] = {
      {nullptr, {2, 2, 2, base}, 0},
      {&CLSID_kwTestCountedA, {4, 2, 1, base}, 1},  // no link interface
      {&CLSID_kwTestWarnsWithObject, {7, 2, 2, base}, 1},
      {&CLSID_kwTestSilentNull, {7, 2, 2, base}, 0},
      {&CLSID_kwTestErrsWithObject, asReported, 1},
  };
  for (auto [clsid, expected, freed] : cases) {
    LinkProbe probe;
    CkwErrorInfo error = kwStaleRecord();
    std::int64_t destructions = kwTestCounters::Destructions();
    EXPECT_FALSE(probe.kwLinkToMasterObject(clsid, &error));
    EXPECT_TRUE(kwIsFailure(error, expected));
    EXPECT_EQ(kwTestCounters::Destructions() - destructions, freed);
    EXPECT_EQ(MasterOf(&probe), nullptr);
  }
  // A master without the link interface is kept, unattached.
  LinkProbe notMaster, probe;  // the probe, destroyed first, asks it for Notify
  CkwErrorInfo error = kwStaleRecord();
  EXPECT_FALSE(probe.kwSetMasterObject(&notMaster, &error));
  EXPECT_TRUE(kwIsFailure(error, {4, 2, 1, base}));
  EXPECT_EQ(MasterOf(&probe), &notMaster);
}

using Render = SkwVideoFilterRender_Method;

unsigned Duration(Render* render) {
  unsigned duration = 77;
  return render->kwGetEffectDuration(&duration, nullptr) ? duration : 77;
}

// Its copy operations are the compiler's: nothing of them to test.
TEST(VideoFilterRender, ActsThroughItsInterfacePart) {
  // clang-format off
  const int slots[] = {kwVtableSlot(&Render::kwAddVideoFilter), kwVtableSlot(&Render::kwApplyFilterBegin),
      kwVtableSlot(&Render::kwApplyFilter), kwVtableSlot(&Render::kwApplyFilterEnd), kwVtableSlot(&Render::kwSetTimeBase),
      kwVtableSlot(&Render::kwSetTotalDuration), kwVtableSlot(&Render::kwGetEffectDuration)};
  // clang-format on
  for (int i = 0; i < 7; ++i) EXPECT_EQ(slots[i], i);

  Object<CkwVideoFilterRender> source = New<CkwVideoFilterRender>();
  void* service = nullptr;
  ASSERT_TRUE(source->kwQueryService(&IID_SkwVideoFilterRender_Method, &service, nullptr));
  auto* render = static_cast<Render*>(service);
  EXPECT_NE(service, static_cast<void*>(source.get()));  // the interface part, not the object
  EXPECT_EQ(render, static_cast<Render*>(source.get()));

  // The other operations accept anything and do nothing: not restated here.
  EXPECT_EQ(Duration(render), 0u);
  CkwErrorInfo error = kwStaleRecord();
  EXPECT_TRUE(render->kwSetTotalDuration(250, &error));
  EXPECT_TRUE(error.m_nSeverity == 0 && *error.m_pSource == CLSID_CkwVideoFilterRender);
  EXPECT_EQ(Duration(render), 250u);
  EXPECT_FALSE(render->kwGetEffectDuration(nullptr, &error));
  EXPECT_TRUE(kwIsFailure(error, {2, 2, 6, CLSID_CkwVideoFilterRender}));
}

}  // namespace
