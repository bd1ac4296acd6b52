// Reference-counted objects shared between owners (blobs, object values).
#pragma once

#include <utility>

namespace vix {

// Created with one reference. AddRef adds one; Release destroys the object
// when it holds the last reference and otherwise drops one. Using an object
// whose count has fallen to 0 raises "Invalid SharedObject".
class TSharedObject {
 public:
  TSharedObject() = default;
  TSharedObject(const TSharedObject&) = delete;
  TSharedObject& operator=(const TSharedObject&) = delete;

  int RefCount() const { return FRefCount; }
  void AddRef();
  void Release();
  // The same as Release.
  void Free() { Release(); }

 protected:
  virtual ~TSharedObject();
  void CheckValid() const;

 private:
  int FRefCount = 1;
};

// Holds one reference to a shared object and releases it when it goes.
template <typename T>
class TSharedRef {
 public:
  TSharedRef() = default;
  // Takes over the reference the caller holds (a new object's first one).
  static TSharedRef Adopt(T* object) {
    TSharedRef r;
    r.FObject = object;
    return r;
  }
  // Adds a reference of its own.
  static TSharedRef Share(T* object) {
    if (object) object->AddRef();
    return Adopt(object);
  }
  TSharedRef(const TSharedRef& other) : FObject(other.FObject) {
    if (FObject) FObject->AddRef();
  }
  TSharedRef(TSharedRef&& other) noexcept : FObject(std::exchange(other.FObject, nullptr)) {}
  TSharedRef& operator=(TSharedRef other) noexcept {
    std::swap(FObject, other.FObject);
    return *this;
  }
  ~TSharedRef() { Reset(); }

  void Reset() {
    if (T* o = std::exchange(FObject, nullptr)) o->Release();
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(FObject, nullptr); }
  T* Get() const { return FObject; }
  T* operator->() const { return FObject; }
  T& operator*() const { return *FObject; }
  explicit operator bool() const { return FObject != nullptr; }

 private:
  T* FObject = nullptr;
};

}  // namespace vix
