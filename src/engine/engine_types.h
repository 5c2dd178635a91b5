#pragma once
#include <functional>
#include <string>

namespace zovir {

enum CommStatus : int { csOpened = 0, csClosed = 1, csWorking = 5, csInfo = 8 };
enum MESSAGE_TYPE : int { mtProgress = 0, mtInfo = 1, mtError = 2, mtPass = 3 };

// The user's Stop.
constexpr int ERR_USER_STOP = 210;
// Stored when a failure happens while the system's last error is 0.
constexpr int ERR_GENERIC_FAILURE = 31;

// The three engine callbacks.
using StatusTextCallback = std::function<void(CommStatus status, const std::string& text, int slot, MESSAGE_TYPE kind)>;
using ErrorCallback = std::function<void(const std::string& text, int slot)>;
using ProgressCallback = std::function<void(int position, int slot, int maximum)>;

}  // namespace zovir
