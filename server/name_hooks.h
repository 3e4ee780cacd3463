// The object model's side of the names: the server fetches and stores names and friendly names,
// and hands each record to the object model through these hooks, which the model registers at
// start-up (RegisterModelClasses). So the server needs no knowledge of element classes, and the
// model library depends on the server, never the other way round.
//
// Without registered hooks the names operations of the server return E_NOTIMPL.
//
// Thread contract: Register at start-up or in test set-up; Find from any thread (the hooks are
// returned by copy under an internal mutex).
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "server/name_records.h"

namespace zel {

struct NameHooks {
  // Applies a name record of a stored version (1 or 2) to the object model, creating the element
  // when its collection lacks it. May rewrite the record's type and number (units that are audio
  // sources or zones), so the stored record carries the new ones.
  std::function<HRESULT(NameRecord* record, int version)> apply_name;
  // Hands an element its friendly name and display flag; a missing element is skipped.
  std::function<HRESULT(const FriendlyNameRecord& record, int version)> apply_friendly_name;
  // Adds the controller's built-in objects after the last record.
  std::function<HRESULT()> add_built_in_objects;
  // The friendly-name records of every element of the collections that exist, in ordinal order.
  std::function<HRESULT(std::vector<FriendlyNameRecord>* records)> collect_friendly_names;
};

void RegisterNameHooks(NameHooks hooks);
void UnregisterNameHooks();
std::optional<NameHooks> FindNameHooks();

}  // namespace zel
