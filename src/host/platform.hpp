// Which operating system the program was built for. Code above the host layer asks this
// constant instead of testing platform macros itself.
#pragma once

namespace host {

enum class HostKind { windows, linux, macos };

#if defined(TUNEFUSE_HOST_WINDOWS)
inline constexpr HostKind host_kind = HostKind::windows;
#elif defined(TUNEFUSE_HOST_MACOS)
inline constexpr HostKind host_kind = HostKind::macos;
#else
inline constexpr HostKind host_kind = HostKind::linux;
#endif

}  // namespace host
