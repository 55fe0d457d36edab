#pragma once
// 32-bit result codes of the suite's components: 0 success, negative failure.

#include <cstdint>

namespace hv {

using HResult = std::int32_t;

constexpr HResult S_OK = 0;
constexpr HResult S_FALSE = 1;
constexpr HResult E_ACCESSDENIED = static_cast<HResult>(0x80070005u);
constexpr HResult E_NOINTERFACE = static_cast<HResult>(0x80004002u);
constexpr HResult E_FAIL = static_cast<HResult>(0x80004005u);
constexpr HResult E_INVALIDARG = static_cast<HResult>(0x80070057u);
constexpr HResult E_POINTER = static_cast<HResult>(0x80004003u);
constexpr HResult REGDB_E_CLASSNOTREG = static_cast<HResult>(0x80040154u);

constexpr bool Succeeded(HResult r) { return r >= 0; }
constexpr bool Failed(HResult r) { return r < 0; }

}  // namespace hv
