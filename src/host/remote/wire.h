// What the remote client and server agree on besides the messages: metadata keys, the bound on one
// call's buffers, and the connection's keep-alive, which bounds how long a dead peer goes unnoticed.
#pragma once

#include <cstdint>

namespace korval::remote {

// The largest buffer one call carries (a bulk transfer, a DeviceIoControl buffer): larger transfers are
// refused with ERROR_BAD_LENGTH before anything is allocated or sent.
inline constexpr uint32_t kMaxTransfer = 16u << 20;
// What a message may hold beyond its buffer (fields, framing).
inline constexpr uint32_t kMessageOverhead = 64u << 10;

inline constexpr const char* kTokenKey = "korval-token";
inline constexpr const char* kSessionKey = "korval-session";

// Keep-alive pings: a peer that stops answering them for kKeepAliveTimeoutMs after kKeepAliveMs of
// silence is taken as gone, and every call on its connection fails.
inline constexpr int kKeepAliveMs = 2000;
inline constexpr int kKeepAliveTimeoutMs = 2000;

// How long a call that does not wait for a board (everything but bulk transfers) may take in all:
// longer than the 5 s a control transfer may wait for its board.
inline constexpr int kCallDeadlineMs = 10000;
// How long a discovery waits for a server to answer before it goes on without its boards.
inline constexpr int kConnectDeadlineMs = 3000;

}  // namespace korval::remote
