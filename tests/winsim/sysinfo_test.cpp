// What the machine says about its processor and product: GetSystemInfo and
// GetNativeSystemInfo from [os] architecture, GetProductInfo, GetSystemMetrics(SM_SERVERR2),
// and which of them a component finds through GetProcAddress.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "testmachine.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

TEST(SystemInfo, ArchitectureOfTheProcessAndOfTheMachine) {
  const struct {
    const char *what;
    std::string toml;
    WORD process, native;
    uintptr_t maxAddress;
  } cases[] = {
      {"default: 64-bit", "", PROCESSOR_ARCHITECTURE_AMD64, PROCESSOR_ARCHITECTURE_AMD64, 0x00007FFFFFFEFFFFULL},
      {"amd64", "[os]\narchitecture = \"amd64\"\n", PROCESSOR_ARCHITECTURE_AMD64, PROCESSOR_ARCHITECTURE_AMD64,
       0x00007FFFFFFEFFFFULL},
      {"32-bit Windows", "[os]\narchitecture = \"intel\"\n", PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_INTEL,
       0x7FFEFFFF},
      {"Itanium", "[os]\narchitecture = \"ia64\"\n", PROCESSOR_ARCHITECTURE_IA64, PROCESSOR_ARCHITECTURE_IA64,
       0x000006FBFFFEFFFFULL},
      {"32-bit process on 64-bit Windows", "[os]\narchitecture = \"ia32_on_win64\"\n", PROCESSOR_ARCHITECTURE_INTEL,
       PROCESSOR_ARCHITECTURE_AMD64, 0x7FFEFFFF},
      {"a number", "[os]\narchitecture = 12\n", 12, 12, 0x00007FFFFFFEFFFFULL},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine(c.toml);
    SYSTEM_INFO info, native;
    std::memset(&info, 0xAB, sizeof info);
    std::memset(&native, 0xAB, sizeof native);
    GetSystemInfo(&info);
    GetNativeSystemInfo(&native);
    EXPECT_EQ(info.wProcessorArchitecture, c.process);
    EXPECT_EQ(native.wProcessorArchitecture, c.native);
    EXPECT_EQ(info.wReserved, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress), c.maxAddress);
    EXPECT_EQ(info.dwPageSize, 4096u);
    EXPECT_EQ(info.dwAllocationGranularity, 65536u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress), 0x10000u);
  }
}

TEST(SystemInfo, ProcessorCountFromTheEnvironment) {
  const struct {
    std::string toml;
    DWORD count;
    DWORD_PTR mask;
  } cases[] = {
      {"", 2, 0x3},
      {"[env]\nNUMBER_OF_PROCESSORS = \"8\"\n", 8, 0xFF},
      {"[env]\nNUMBER_OF_PROCESSORS = \"1\"\n", 1, 0x1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.toml);
    TestMachine machine(c.toml);
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    EXPECT_EQ(info.dwNumberOfProcessors, c.count);
    EXPECT_EQ(info.dwActiveProcessorMask, c.mask);
  }
}

TEST(ProductInfo, ProductTypeFromTheMachine) {
  const struct {
    const char *what;
    std::string toml;
    DWORD major;
    BOOL result;
    DWORD product;
  } cases[] = {
      {"default: Standard", "", 10, TRUE, PRODUCT_STANDARD_SERVER},
      {"Datacenter core", "[os]\nproduct_info = 0x0C\n", 6, TRUE, PRODUCT_DATACENTER_SERVER_CORE},
      {"asked for Vista", "[os]\nproduct_info = 8\n", 6, TRUE, PRODUCT_DATACENTER_SERVER},
      {"asked for XP", "[os]\nproduct_info = 8\n", 5, FALSE, PRODUCT_UNDEFINED},
      {"asked for NT 4", "", 4, FALSE, PRODUCT_UNDEFINED},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine(c.toml);
    DWORD product = kSentinel;
    SetLastError(kSentinel);
    EXPECT_EQ(GetProductInfo(c.major, 0, 0, 0, &product), c.result);
    EXPECT_EQ(product, c.product);
    EXPECT_EQ(GetLastError(), kSentinel);
  }
}

TEST(ProductInfo, NoOutputAndInjectedFault) {
  TestMachine machine("[[faults]]\nfunction = \"GetProductInfo\"\nnth = 2\nerror = 1\n");
  SetLastError(kSentinel);
  EXPECT_FALSE(GetProductInfo(6, 0, 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  DWORD product = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetProductInfo(6, 1, 0, 0, &product));
  EXPECT_EQ(GetLastError(), 1u);
  EXPECT_EQ(product, kSentinel);
  EXPECT_TRUE(GetProductInfo(6, 1, 0, 0, &product));
}

TEST(SystemMetrics, ServerR2ReportsTheBuild) {
  const struct {
    std::string toml;
    int expected;
  } cases[] = {
      {"", 0},
      {"[os]\nserver_r2 = false\nbuild = 3790\n", 0},
      {"[os]\nmajor = 5\nminor = 2\nbuild = 3790\nserver_r2 = true\n", 3790},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.toml);
    TestMachine machine(c.toml);
    EXPECT_EQ(GetSystemMetrics(SM_SERVERR2), c.expected);
  }
  TestMachine machine;
  EXPECT_EQ(GetSystemMetrics(0), 0);  // SM_CXSCREEN: not modelled, answered 0
}

TEST(SystemExports, FoundThroughGetProcAddressUnlessMissing) {
  const struct {
    const char *what;
    std::string toml;
    bool productInfo;
  } cases[] = {
      {"all present", "", true},
      {"GetProductInfo missing", "[os]\nmissing_exports = [\"kernel32.dll!GetProductInfo\"]\n", false},
      {"any case", "[os]\nmissing_exports = [\"KERNEL32.DLL!GetProductInfo\"]\n", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine(c.toml);
    HMODULE kernel32 = LoadLibraryW(L"kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_EQ(GetProcAddress(kernel32, "GetNativeSystemInfo"),
              reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&GetNativeSystemInfo)));
    EXPECT_NE(GetProcAddress(kernel32, "GetSystemInfo"), nullptr);
    EXPECT_NE(GetProcAddress(kernel32, "GetVersionExW"), nullptr);
    SetLastError(kSentinel);
    FARPROC product = GetProcAddress(kernel32, "GetProductInfo");
    if (c.productInfo) {
      ASSERT_NE(product, nullptr);
      // Called through the pointer, as a component does.
      auto fn = reinterpret_cast<BOOL(WINAPI *)(DWORD, DWORD, DWORD, DWORD, PDWORD)>(
          reinterpret_cast<void (*)(void)>(product));
      DWORD type = kSentinel;
      EXPECT_TRUE(fn(6, 0, 0, 0, &type));
      EXPECT_EQ(type, DWORD(PRODUCT_STANDARD_SERVER));
    } else {
      EXPECT_EQ(product, nullptr);
      EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }
    HMODULE user32 = LoadLibraryW(L"user32.dll");
    ASSERT_NE(user32, nullptr);
    EXPECT_NE(GetProcAddress(user32, "GetSystemMetrics"), nullptr);
    FreeLibrary(user32);
    FreeLibrary(kernel32);
  }
}

}  // namespace
