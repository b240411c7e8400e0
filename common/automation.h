// Late-bound calls on automation objects (IDispatch), as script would make
// them: by member name, with VARIANT arguments.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <initializer_list>
#include <utility>

// Owner of one COM interface pointer.
template <typename Interface>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      pointer_ = std::exchange(other.pointer_, nullptr);
    }
    return *this;
  }
  ~ComPtr() { reset(); }
  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // For out-parameters: releases what is held and hands out the slot.
  Interface** put() {
    reset();
    return &pointer_;
  }
  void reset() {
    if (pointer_) pointer_->Release();
    pointer_ = nullptr;
  }

 private:
  Interface* pointer_ = nullptr;
};

// Owner of one VARIANT.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &value_; }
  const VARIANT& value() const { return value_; }

 private:
  VARIANT value_;
};

namespace automation {

// Creates the object registered under progId; empty on failure.
ComPtr<IDispatch> create(const wchar_t* progId);

// Calls a member by name with the given arguments (in their natural order).
// flags: DISPATCH_METHOD, DISPATCH_PROPERTYGET or DISPATCH_PROPERTYPUT.
HRESULT invoke(IDispatch* object, const wchar_t* member, WORD flags,
               std::initializer_list<VARIANT> arguments, VARIANT* result);

// A VARIANT holding a BSTR copy of text, for passing as an argument; the
// caller frees it with VariantClear.
VARIANT bstrArgument(const wchar_t* text);

}  // namespace automation
