// Where the server core hands its server-log entries (a failed clock setting): a process-wide
// writer that the server-log library installs. Until one is installed, entries go nowhere.
//
// Thread contract: SetServerLogWriter at start-up or in test set-up; WriteServerLog from any
// thread (the writer must be thread-safe).
#pragma once

#include <functional>
#include <string_view>

#include "platform/status.h"

namespace zel {

// component, feature, description, status code (its message text is the entry's result).
using ServerLogWriter =
    std::function<void(std::string_view, std::string_view, std::string_view, HRESULT)>;

void SetServerLogWriter(ServerLogWriter writer);
void WriteServerLog(std::string_view component, std::string_view feature,
                    std::string_view description, HRESULT code);

}  // namespace zel
