// The loader (DriverEntry/DriverUnload), DbgPrint capture and work items.
#include <atomic>
#include <string>
#include <thread>

#include "test_stack.h"

using namespace kerneltest;

namespace {

struct EntryRecord {
  int entries = 0;
  int unloads = 0;
  std::u16string registryPath;
  KIRQL irql = 0xFF;
  NTSTATUS result = STATUS_SUCCESS;
};
EntryRecord g_entry;

NTSTATUS NTAPI TestAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }
NTSTATUS NTAPI TestCreate(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }
VOID NTAPI TestUnload(PDRIVER_OBJECT) { g_entry.unloads++; }

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  g_entry.entries++;
  g_entry.irql = KeGetCurrentIrql();
  g_entry.registryPath.assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
  driver->DriverUnload = TestUnload;
  driver->DriverExtension->AddDevice = TestAddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = TestCreate;
  DbgPrint("---> DriverEntry %s -- %d\n", "test", 42);
  return g_entry.result;
}

TEST(Loader, LoadRunsDriverEntryWithTheServiceKeyAndUnloadRunsDriverUnload) {
  g_entry = EntryRecord{};
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = hosted::Drivers::Load(TestEntry, {}, &status);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(g_entry.entries, 1);
  EXPECT_EQ(g_entry.irql, PASSIVE_LEVEL);
  EXPECT_EQ(g_entry.registryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccid");
  EXPECT_TRUE(hosted::Registry::KeyExists("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccid"));
  EXPECT_EQ(driver->DriverExtension->AddDevice, &TestAddDevice);
  EXPECT_EQ(hosted::DebugOutput::Messages(), std::vector<std::string>{"---> DriverEntry test -- 42\n"});

  const std::vector<hosted::DispatchEntry> table = hosted::Drivers::DispatchTable(driver);
  ASSERT_EQ(table.size(), static_cast<std::size_t>(IRP_MJ_MAXIMUM_FUNCTION + 1));
  for (const hosted::DispatchEntry& entry : table) {
    SCOPED_TRACE(entry.majorName);
    EXPECT_EQ(entry.isDefault, entry.major != IRP_MJ_CREATE);
  }
  EXPECT_EQ(table[IRP_MJ_CREATE].majorName, "IRP_MJ_CREATE");

  hosted::Drivers::Unload(driver);
  EXPECT_EQ(g_entry.unloads, 1);
}

TEST(Loader, FailedDriverEntryDropsTheImageWithoutUnload) {
  g_entry = EntryRecord{};
  g_entry.result = STATUS_INSUFFICIENT_RESOURCES;
  hosted::LoadOptions options;
  options.registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(200, u'p');
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(hosted::Drivers::Load(TestEntry, options, &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(g_entry.registryPath, options.registryPath);
  EXPECT_EQ(g_entry.unloads, 0);
}

// A completion routine that wakes its waiter may still be on its way out when the waiter
// unloads the driver: the unload waits for it, since the image it runs in goes then.
TEST(Loader, UnloadWaitsForACompletionRoutineStillReturning) {
  g_entry = EntryRecord{};
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = hosted::Drivers::Load(TestEntry, {}, &status);
  ASSERT_NE(driver, nullptr);
  struct Context {
    KEVENT done;
    std::atomic<bool> returned{false};
  } context;
  KeInitializeEvent(&context.done, NotificationEvent, FALSE);
  PIRP irp = nullptr;
  {
    TestStack stack(1);
    stack.SetDispatch(0, [](PDEVICE_OBJECT, PIRP parked) {
      IoMarkIrpPending(parked);
      return STATUS_PENDING;
    });
    irp = NewIrp(stack);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID c) NTAPI -> NTSTATUS {
          auto* ctx = static_cast<Context*>(c);
          KeSetEvent(&ctx->done, IO_NO_INCREMENT, FALSE);
          while (__atomic_load_n(&g_entry.unloads, __ATOMIC_ACQUIRE) == 0) std::this_thread::yield();  // the waiter is unloading
          for (int i = 0; i < 1000; ++i) std::this_thread::yield();
          ctx->returned = true;
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &context, TRUE, TRUE, TRUE);
    (void)IoCallDriver(stack.top(), irp);
    hosted::KernelThread completer("completer", [irp] { Complete(irp, STATUS_SUCCESS); });
    KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
    hosted::Drivers::Unload(driver);
    EXPECT_TRUE(context.returned) << "the driver unloaded under its running completion routine";
    completer.Join();
  }
  IoFreeIrp(irp);
}

struct FormatRow {
  const char* expected;
  std::function<void()> print;
};

// The kernel debugger's printf, with Windows' sizes and the wide/counted string forms.
TEST(DebugOutput, DbgPrintFormatsLikeTheKernelDebugger) {
  static WCHAR wide[] = u"wide";
  static UNICODE_STRING counted = RTL_CONSTANT_STRING(u"counted\u00e9");
  static ANSI_STRING ansi = RTL_CONSTANT_STRING("ansi");
  const FormatRow rows[] = {
      {"s=abc d=-7 u=7", [] { DbgPrint("s=%s d=%d u=%u", "abc", -7, 7u); }},
      {"x=ff X=FF 08x=000000ff", [] { DbgPrint("x=%x X=%X 08x=%08x", 255u, 255u, 255u); }},
      {"lx=deadbeef ld=-1", [] { DbgPrint("lx=%lx ld=%ld", static_cast<ULONG>(0xDEADBEEF), static_cast<LONG>(-1)); }},
      {"I64x=123456789abc", [] { DbgPrint("I64x=%I64x", 0x123456789ABCull); }},
      {"ws=wide S=wide", [] { DbgPrint("ws=%ws S=%S", wide, wide); }},
      {"wZ=counted\xc3\xa9 Z=ansi", [] { DbgPrint("wZ=%wZ Z=%Z", &counted, &ansi); }},
      {"c=Q [ left][right ] 100%", [] { DbgPrint("c=%c [%5s][%-6s] 100%%", 'Q', "left", "right"); }},
      {"null=(null)", [] { DbgPrint("null=%s", static_cast<const char*>(nullptr)); }},
      // Past the four register arguments of the Microsoft x64 convention: read from the stack.
      {"1 2 3 4 5 1122334455667788 six",
       [] { DbgPrint("%d %d %d %d %d %I64x %s", 1, 2, 3, 4, 5, 0x1122334455667788ull, "six"); }},
      {"ex 7 8 9", [] { DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "ex %u %u %u", 7u, 8u, 9u); }},
  };
  for (const FormatRow& row : rows) {
    SCOPED_TRACE(row.expected);
    hosted::DebugOutput::Clear();
    row.print();
    EXPECT_EQ(hosted::DebugOutput::Text(), row.expected);
  }
}

struct WorkRecord {
  std::atomic<int> runs{0};
  KIRQL irql = 0xFF;
  PDEVICE_OBJECT device = nullptr;
  std::thread::id thread;
};

TEST(WorkItems, RunOnTheWorkerThreadAtPassiveLevelInOrder) {
  TestStack stack(1);
  WorkRecord record;
  PIO_WORKITEM item = IoAllocateWorkItem(stack.top());
  ASSERT_NE(item, nullptr);
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT device, PVOID context) NTAPI {
        auto* r = static_cast<WorkRecord*>(context);
        r->device = device;
        r->irql = KeGetCurrentIrql();
        r->thread = std::this_thread::get_id();
        r->runs++;
      },
      CriticalWorkQueue, &record);
  static std::string order;
  order.clear();
  WORK_QUEUE_ITEM first, second;
  ExInitializeWorkItem(&first, [](PVOID) NTAPI { order += "1"; }, nullptr);
  ExInitializeWorkItem(&second, [](PVOID) NTAPI { order += "2"; }, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queuing is allowed at DISPATCH_LEVEL
  ExQueueWorkItem(&first, DelayedWorkQueue);
  ExQueueWorkItem(&second, DelayedWorkQueue);
  KeLowerIrql(old);
  hosted::DrainWorkQueue();
  EXPECT_EQ(record.runs.load(), 1);
  EXPECT_EQ(record.device, stack.top());
  EXPECT_EQ(record.irql, PASSIVE_LEVEL);
  EXPECT_NE(record.thread, std::this_thread::get_id());
  EXPECT_EQ(order, "12");
  IoFreeWorkItem(item);
}

}  // namespace
