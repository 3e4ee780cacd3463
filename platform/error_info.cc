#include "platform/error_info.h"

#include <utility>

namespace zel {
namespace {
thread_local std::optional<ErrorInfo> t_error_info;
}

void SetErrorInfo(ErrorInfo info) { t_error_info = std::move(info); }
void ClearErrorInfo() { t_error_info.reset(); }
std::optional<ErrorInfo> TakeErrorInfo() { return std::exchange(t_error_info, std::nullopt); }
std::optional<ErrorInfo> PeekErrorInfo() { return t_error_info; }

}  // namespace zel
