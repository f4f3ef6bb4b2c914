// The module's flash layout: the identifier page at the start of flash, the application
// after it. Every part of the program takes these addresses from here.
#pragma once

#include <cstdint>

namespace vbprog {

// From the start of flash up to the application: the page the identifiers live in. No plan
// erases or writes it.
constexpr uint32_t kGuardedPageStart = 0x08000000;
constexpr uint32_t kApplicationStart = 0x08000800;
constexpr uint32_t kGuardedPageEnd = kApplicationStart;   // one past

// DevEUI, JoinEUI and AppKey, one block at the end of the guarded page.
constexpr uint32_t kDevEuiAddress = 0x080007E0;
constexpr uint32_t kJoinEuiAddress = 0x080007E8;
constexpr uint32_t kAppKeyAddress = 0x080007F0;
constexpr uint32_t kDevEuiSize = 8;
constexpr uint32_t kJoinEuiSize = 8;
constexpr uint32_t kAppKeySize = 16;
constexpr uint32_t kIdentifierStart = kDevEuiAddress;
constexpr uint32_t kIdentifierEnd = kAppKeyAddress + kAppKeySize;   // one past
constexpr uint32_t kIdentifierSize = kIdentifierEnd - kIdentifierStart;

static_assert(kJoinEuiAddress == kDevEuiAddress + kDevEuiSize && kAppKeyAddress == kJoinEuiAddress + kJoinEuiSize,
              "identifier block is contiguous");
static_assert(kIdentifierEnd == kGuardedPageEnd, "identifiers end where the application starts");

}  // namespace vbprog
