#include "rtl/SharedObject.h"

#include "rtl/SysUtils.h"

namespace vix {

TSharedObject::~TSharedObject() = default;

void TSharedObject::CheckValid() const {
  if (FRefCount <= 0) throw Exception(u"Invalid SharedObject");
}

void TSharedObject::AddRef() {
  CheckValid();
  ++FRefCount;
}

void TSharedObject::Release() {
  CheckValid();
  if (FRefCount == 1) {
    FRefCount = 0;
    delete this;
  } else {
    --FRefCount;
  }
}

}  // namespace vix
