// The factory of the server's empty element: the one plain element (Index 0, ID 0, named by
// string 103) that a collection's Item returns with S_FALSE when nothing matches, and that
// event-log entries without a time use as their Time. Its class belongs to the object model,
// which registers the factory at start-up (RegisterModelClasses).
//
// Thread contract: Register at start-up or in test set-up; Find from any thread.
#pragma once

#include <functional>

#include "platform/dispatch.h"

namespace zel {

using EmptyElementFactory = std::function<HRESULT(IDispatch** element)>;

void RegisterEmptyElementFactory(EmptyElementFactory factory);
// The registered factory, or an empty function.
EmptyElementFactory FindEmptyElementFactory();

}  // namespace zel
