// Reference-counted objects with interface queries.
//
// IUnknown is the root of every automation interface. An object implements one or more
// interfaces (abstract structs that derive from IUnknown and name their id in kIid) and answers
// QueryInterface for each; a query for anything else fails with E_NOINTERFACE. References are
// counted atomically; the last Release deletes the object.
//
// Implementing classes write, in the class body:
//   ZEL_IMPLEMENT_REFCOUNT()
//   HRESULT QueryInterface(const IID& iid, void** ppv) override {
//     return QueryInterfaceFor<IZelZone, IZelCollectionElement, IDispatch>(this, iid, ppv);
//   }
// and are created with MakeObject<T>(args...), which hands back the first reference.
//
// Thread contract: AddRef/Release/QueryInterface are safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "platform/guid.h"
#include "platform/status.h"

namespace zel {

struct IUnknown {
  static constexpr IID kIid = MakeGuid(0x00000000, 0x0000, 0x0000, 0xC000000000000046);
  virtual HRESULT QueryInterface(const IID& iid, void** ppv) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

template <class I>
constexpr const IID& IidOf() {
  return I::kIid;
}

// Answers a query for any of Interfaces (or IUnknown, through the first one).
template <class First, class... Rest, class T>
HRESULT QueryInterfaceFor(T* self, const IID& iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  void* found = nullptr;
  if (iid == IUnknown::kIid) {
    found = static_cast<IUnknown*>(static_cast<First*>(self));
  } else {
    auto try_one = [&]<class I>() {
      if (found == nullptr && iid == I::kIid) found = static_cast<I*>(self);
    };
    try_one.template operator()<First>();
    (try_one.template operator()<Rest>(), ...);
  }
  if (found == nullptr) return E_NOINTERFACE;
  static_cast<IUnknown*>(static_cast<First*>(self))->AddRef();
  *ppv = found;
  return S_OK;
}

// Adds an atomic count and AddRef/Release overrides to a class that implements interfaces.
// The object starts with a count of 0; MakeObject takes the first reference.
#define ZEL_IMPLEMENT_REFCOUNT()                                                               \
 public:                                                                                       \
  uint32_t AddRef() override { return zel_refs_.fetch_add(1, std::memory_order_relaxed) + 1; } \
  uint32_t Release() override {                                                                \
    uint32_t left = zel_refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;                     \
    if (left == 0) delete this;                                                                \
    return left;                                                                               \
  }                                                                                            \
  uint32_t RefCountForTesting() const { return zel_refs_.load(); }                             \
                                                                                               \
 private:                                                                                      \
  std::atomic<uint32_t> zel_refs_{0};                                                          \
                                                                                               \
 public:

// An owning interface pointer: AddRef on copy, Release on destruction.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  // Takes a new reference to p.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(const ComPtr<U>& o) : ComPtr(static_cast<T*>(o.get())) {}  // NOLINT
  ~ComPtr() { reset(); }
  ComPtr& operator=(const ComPtr& o) {
    ComPtr(o).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    ComPtr(std::move(o)).swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    reset();
    return *this;
  }

  // Adopts a reference the caller already owns.
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  // Hands the reference to the caller.
  T* Detach() { return std::exchange(p_, nullptr); }
  // For out-parameters: releases the current pointer and exposes the slot.
  T** Receive() {
    reset();
    return &p_;
  }
  void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

  // Queries this object for interface I.
  template <class I>
  HRESULT As(ComPtr<I>* out) const {
    if (out == nullptr) return E_POINTER;
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(I::kIid, out->ReceiveVoid());
  }

 private:
  T* p_ = nullptr;
};

// Creates an object and returns its first reference.
template <class T, class... Args>
ComPtr<T> MakeObject(Args&&... args) {
  return ComPtr<T>(new T(std::forward<Args>(args)...));
}

// Queries any interface pointer for I; null input gives E_POINTER.
template <class I, class U>
HRESULT QueryAs(U* unknown, ComPtr<I>* out) {
  if (out == nullptr || unknown == nullptr) return E_POINTER;
  return unknown->QueryInterface(I::kIid, out->ReceiveVoid());
}

}  // namespace zel
