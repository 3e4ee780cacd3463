// NoResends: turns a transport's own resends off for as long as it lives (IZelLinkResends, see
// link/comm_handler.h), for exchanges a resend would repeat on the controller: the steps of a
// walk, and commands. A transport without resends is left as it is.
//
// Thread contract: lives inside the transport's atomic bracket, on the thread holding it.
#pragma once

#include "link/comm_handler.h"

namespace zel {

class NoResends {
 public:
  explicit NoResends(IZelCommHandler* link) {
    if (Succeeded(QueryAs<IZelLinkResends>(link, &resends_))) resends_->SetResends(false);
  }
  ~NoResends() {
    if (resends_) resends_->SetResends(true);
  }
  NoResends(const NoResends&) = delete;
  NoResends& operator=(const NoResends&) = delete;

 private:
  ComPtr<IZelLinkResends> resends_;
};

}  // namespace zel
