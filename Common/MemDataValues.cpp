// Field values of a record buffer: read and written in their native form and
// as variants, through the slot writers of the record layout.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Common/MemData.h"
#include "rtl/CodePage.h"

namespace vix {

namespace {

template <typename T>
T Load(const uint8_t* p) {
  return LoadSlot<T>(p);
}

template <typename T>
void Store(uint8_t* p, const T& v) {
  StoreSlot<T>(p, v);
}

size_t WideLength(const uint8_t* p, size_t maxChars) {
  size_t n = 0;
  while (n < maxChars && Load<char16_t>(p + 2 * n) != 0) ++n;
  return n;
}

}  // namespace

size_t TData::GetField(int fieldNo, const uint8_t* recBuf, bool& isBlank, void* dest, size_t destSize) const {
  // Every value read passes here: the range check and the blob test are made
  // in place rather than through Field and IsBlobDataType.
  if (fieldNo < 1 || fieldNo > FFields.Count()) [[unlikely]]
    Field(fieldNo);  // raises "Field number out of range"
  const TFieldDesc& f = FFields[fieldNo - 1];
  // The null flag of the field just checked (GetNull would check it again).
  isBlank = recBuf[FDataSize + fieldNo - 1] == 1;
  if (!isBlank && (f.FDataType == mtBlob || f.FDataType == mtMemo || f.FDataType == mtWideMemo)) {
    TBlob* blob = Load<TBlob*>(recBuf + f.FOffset);
    isBlank = blob == nullptr || blob->IsEmpty();
  }
  if (isBlank || dest == nullptr || destSize == 0) return 0;
  const uint8_t* slot = recBuf + f.FOffset;
  auto* out = static_cast<uint8_t*>(dest);
  const bool trim = f.FFixed ? FTrimFixedChar : FTrimVarChar;
  switch (f.FDataType) {
    case mtString:
    case mtGuid:
    case mtExtString: {
      const uint8_t* text = slot;
      size_t n;
      if (f.FDataType == mtExtString) {
        text = Load<const uint8_t*>(slot);
        n = text ? std::strlen(reinterpret_cast<const char*>(text)) : 0;
      } else {
        const size_t max = std::min<size_t>(f.FLength ? f.FLength : f.FSize - 1, static_cast<size_t>(f.FSize - 1));
        n = 0;
        while (n < max && slot[n] != 0) ++n;
      }
      if (f.FDataType == mtString && trim) {
        while (n > 0 && text[n - 1] == ' ') --n;
      }
      n = std::min(n, destSize - 1);
      if (n) std::memcpy(out, text, n);
      out[n] = 0;
      return n;
    }
    case mtWideString:
    case mtExtWideString: {
      if (destSize < 2) return 0;
      const uint8_t* text = slot;
      size_t n;
      if (f.FDataType == mtExtWideString) {
        text = Load<const uint8_t*>(slot);
        n = text ? WideLength(text, SIZE_MAX / 2) : 0;
      } else {
        const size_t slotChars = static_cast<size_t>(f.FSize - 2) / 2;
        n = WideLength(slot, std::min<size_t>(f.FLength ? f.FLength : slotChars, slotChars));
      }
      if (f.FDataType == mtWideString && trim) {
        while (n > 0 && Load<char16_t>(text + 2 * (n - 1)) == u' ') --n;
      }
      n = std::min(n, destSize / 2 - 1);
      if (n) std::memcpy(out, text, 2 * n);
      Store<char16_t>(out + 2 * n, 0);
      return 2 * n;
    }
    case mtVarBytes:
    case mtExtVarBytes: {
      const uint8_t* data = f.FDataType == mtExtVarBytes ? Load<const uint8_t*>(slot) : slot;
      if (!data) return 0;
      uint16_t length = Load<uint16_t>(data);
      if (f.FDataType == mtVarBytes) length = static_cast<uint16_t>(std::min<int>(length, f.FSize - 2));
      const size_t n = std::min<size_t>(2u + length, destSize);
      std::memcpy(out, data, n);
      if (n >= 2) Store<uint16_t>(out, static_cast<uint16_t>(n - 2));
      return n;
    }
    case mtUInt32: {
      const uint64_t v = Load<uint32_t>(slot);
      const size_t n = std::min(sizeof v, destSize);
      std::memcpy(out, &v, n);
      return n;
    }
    case mtDate:
    case mtTime:
    case mtDateTime: {
      const TTimeStamp stamp = DateTimeToTimeStamp(Load<double>(slot));
      uint8_t native[8];
      size_t size = 4;
      if (f.FDataType == mtDate) Store<int32_t>(native, stamp.Date);
      else if (f.FDataType == mtTime) Store<int32_t>(native, stamp.Time);
      else {
        Store<double>(native, TimeStampToMSecs(stamp));
        size = 8;
      }
      const size_t n = std::min(size, destSize);
      if (n == 8) std::memcpy(out, native, 8);
      else std::memcpy(out, native, n);
      return n;
    }
    default: {
      const size_t n = std::min(static_cast<size_t>(f.FSize), destSize);
      // Numbers are 2, 4 or 8 bytes: copied in one move, not through memcpy's call.
      if (n == 8) std::memcpy(out, slot, 8);
      else if (n == 4) std::memcpy(out, slot, 4);
      else std::memcpy(out, slot, n);
      return n;
    }
  }
}

bool TData::ReadCheckedWideText(int fieldNo, const uint8_t* recBuf, size_t maxChars, UString& text) const {
  if (recBuf[FDataSize + fieldNo - 1] == 1) return false;
  const TFieldDesc& f = FFields[fieldNo - 1];
  const uint8_t* slot = recBuf + f.FOffset;
  size_t n;
  if (f.FDataType == mtExtWideString) {
    slot = Load<const uint8_t*>(slot);
    // Never trimmed: the scan may stop at the cut.
    n = slot ? WideLength(slot, maxChars) : 0;
  } else {
    const size_t slotChars = static_cast<size_t>(f.FSize - 2) / 2;
    n = WideLength(slot, std::min<size_t>(f.FLength ? f.FLength : slotChars, slotChars));
    if (f.FFixed ? FTrimFixedChar : FTrimVarChar) {
      while (n > 0 && Load<char16_t>(slot + 2 * (n - 1)) == u' ') --n;
    }
    n = std::min(n, maxChars);
  }
  if (reinterpret_cast<uintptr_t>(slot) % alignof(char16_t) == 0) {
    // Heap texts and most slots: copied in one step, without filling the room first.
    text = UString(reinterpret_cast<const char16_t*>(slot), n);
  } else {
    text.resize(n);
    if (n) std::memcpy(text.data(), slot, 2 * n);
  }
  return true;
}

bool TData::ReadCheckedDateTime(int fieldNo, const uint8_t* recBuf, TDateTime& value) const {
  if (recBuf[FDataSize + fieldNo - 1] == 1) return false;
  // The time stamp's milliseconds and back are the time stamp itself: only
  // the rounding to the millisecond and the range check stay.
  value = TimeStampToDateTime(DateTimeToTimeStamp(Load<double>(recBuf + FFields[fieldNo - 1].FOffset)));
  return true;
}

void TData::PutField(int fieldNo, uint8_t* recBuf, const void* source, size_t sourceSize) {
  const TFieldDesc& f = Field(fieldNo);
  if (source == nullptr) {
    SetNull(fieldNo, recBuf, true);
    return;
  }
  const auto* in = static_cast<const uint8_t*>(source);
  const bool wide = f.FDataType == mtWideString || f.FDataType == mtExtWideString;
  if ((FSetEmptyStrToNull || FRequireEmptyStrToNull) && IsStringDataType(f.FDataType) &&
      (wide ? sourceSize < 2 || Load<char16_t>(in) == 0 : sourceSize == 0 || in[0] == 0)) {
    SetNull(fieldNo, recBuf, true);
    return;
  }
  uint8_t* slot = recBuf + f.FOffset;
  const auto slotSize = static_cast<size_t>(f.FSize);
  switch (f.FDataType) {
    case mtString:
    case mtGuid: {
      size_t n = 0;
      const size_t max = std::min(sourceSize, slotSize - 1);
      while (n < max && in[n] != 0) ++n;
      const size_t written = PutStringSlot(slot, slotSize, std::string_view(reinterpret_cast<const char*>(in), n));
      std::memset(slot + written, 0, slotSize - written);
      break;
    }
    case mtWideString: {
      const size_t slotChars = (slotSize - 2) / 2;
      const size_t n = WideLength(in, std::min({sourceSize / 2, slotChars, f.FLength ? size_t{f.FLength} : slotChars}));
      std::memcpy(slot, in, 2 * n);
      std::memset(slot + 2 * n, 0, slotSize - 2 * n);
      break;
    }
    case mtExtString:
    case mtExtWideString:
    case mtExtVarBytes: {
      void* old = Load<void*>(slot);
      void* fresh;
      if (f.FDataType == mtExtString) {
        size_t n = 0;
        while (n < sourceSize && in[n] != 0) ++n;
        fresh = FStringHeap->AllocStr(std::string_view(reinterpret_cast<const char*>(in), n));
      } else if (f.FDataType == mtExtWideString) {
        const size_t n = WideLength(in, sourceSize / 2);
        char* buf = FStringHeap->NewBuf(2 * n + 2);
        std::memcpy(buf, in, 2 * n);
        std::memset(buf + 2 * n, 0, 2);
        fresh = buf;
      } else {
        const uint16_t length =
            sourceSize < 2 ? 0 : static_cast<uint16_t>(std::min<size_t>(Load<uint16_t>(in), sourceSize - 2));
        char* buf = FStringHeap->NewBuf(2u + length);
        Store<uint16_t>(reinterpret_cast<uint8_t*>(buf), length);
        if (length) std::memcpy(buf + 2, in + 2, length);
        fresh = buf;
      }
      Store<void*>(slot, fresh);
      if (old) FStringHeap->DisposeBuf(old);
      break;
    }
    case mtVarBytes: {
      const uint16_t length =
          sourceSize < 2
              ? 0
              : static_cast<uint16_t>(std::min<size_t>({size_t{Load<uint16_t>(in)}, sourceSize - 2, slotSize - 2}));
      const size_t written =
          PutVarBytesSlot(slot, slotSize, std::string_view(reinterpret_cast<const char*>(in) + 2, length));
      std::memset(slot + written, 0, slotSize - written);
      break;
    }
    case mtUInt32: {
      uint64_t v = 0;
      std::memcpy(&v, in, std::min(sourceSize, sizeof v));
      Store<uint32_t>(slot, static_cast<uint32_t>(v));
      break;
    }
    case mtDate:
    case mtTime:
    case mtDateTime: {
      TTimeStamp stamp{0, 0};
      if (f.FDataType == mtDateTime) {
        double msecs = 0;
        std::memcpy(&msecs, in, std::min(sourceSize, sizeof msecs));
        stamp = MSecsToTimeStamp(msecs);
      } else {
        int32_t v = 0;
        std::memcpy(&v, in, std::min(sourceSize, sizeof v));
        if (f.FDataType == mtDate) stamp.Date = v;
        else stamp.Time = v;
      }
      const TDateTime value =
          f.FDataType == mtTime ? static_cast<double>(stamp.Time) / kMSecsPerDay : TimeStampToDateTime(stamp);
      Store<double>(slot, value);
      break;
    }
    case mtFloat: {
      double v = 0;
      std::memcpy(&v, in, std::min(sourceSize, sizeof v));
      // Rounded to FScale decimals through fixed-point text (18 digits at most).
      if (f.FScale > 0 && f.FScale <= 18 && std::isfinite(v) && std::fabs(v) < 1e18) {
        char text[400];
        std::snprintf(text, sizeof text, "%.*f", static_cast<int>(f.FScale), v);
        std::from_chars(text, text + std::strlen(text), v);
      }
      Store<double>(slot, v);
      break;
    }
    case mtBlob:
    case mtMemo:
    case mtWideMemo: {
      TBlob* blob = GetBlob(fieldNo, recBuf);
      if (!blob) {
        blob = NewBlob(f);
        Store<TBlob*>(slot, blob);
      }
      blob->SetAsBytes(std::string_view(reinterpret_cast<const char*>(in), sourceSize));
      break;
    }
    case mtVariant:
    case mtObject:
    case mtReference:
    case mtArray:
    case mtTable:
    case mtCursor: throw Exception(u"Cannot convert type " + IntToStr(f.FDataType));
    default: {
      const size_t written =
          PutBytesSlot(slot, slotSize, std::string_view(reinterpret_cast<const char*>(in), sourceSize));
      std::memset(slot + written, 0, slotSize - written);
      break;
    }
  }
  recBuf[FDataSize + fieldNo - 1] = 0;
}

Variant TData::GetFieldAsVariant(int fieldNo, const uint8_t* recBuf) const {
  const TFieldDesc& f = Field(fieldNo);
  if (GetNull(fieldNo, recBuf)) return Variant::Null();
  const uint8_t* slot = recBuf + f.FOffset;
  switch (f.FDataType) {
    case mtString:
    case mtExtString:
    case mtGuid: {
      std::string text(f.FDataType == mtExtString ? 0 : static_cast<size_t>(f.FSize), '\0');
      if (f.FDataType == mtExtString) {
        const char* p = Load<const char*>(slot);
        if (p) text = p;
        if (FTrimVarChar)
          while (!text.empty() && text.back() == ' ') text.pop_back();
        return Variant::FromAnsi(std::move(text));
      }
      bool blank;
      text.resize(GetField(fieldNo, recBuf, blank, text.data(), text.size()));
      return Variant::FromAnsi(std::move(text));
    }
    case mtWideString:
    case mtExtWideString: {
      if (f.FDataType == mtExtWideString) {
        const uint8_t* p = Load<const uint8_t*>(slot);
        UString text(p ? WideLength(p, SIZE_MAX / 2) : 0, u'\0');
        if (!text.empty()) std::memcpy(text.data(), p, 2 * text.size());
        if (FTrimVarChar)
          while (!text.empty() && text.back() == u' ') text.pop_back();
        return Variant(std::move(text));
      }
      UString text(static_cast<size_t>(f.FSize) / 2, u'\0');
      bool blank;
      text.resize(GetField(fieldNo, recBuf, blank, text.data(), text.size() * 2) / 2);
      return Variant(std::move(text));
    }
    case mtInt8: return Load<int8_t>(slot);
    case mtInt16: return Load<int16_t>(slot);
    case mtInt32: return Load<int32_t>(slot);
    case mtUInt16: return Load<uint16_t>(slot);
    case mtUInt32: return Load<uint32_t>(slot);
    case mtInt64: return Load<int64_t>(slot);
    case mtUInt64: return Load<uint64_t>(slot);
    case mtFloat:
    case mtCurrency: return Load<double>(slot);
    case mtDate:
    case mtTime:
    case mtDateTime: return Variant::FromDate(Load<double>(slot));
    case mtBoolean: return Load<int16_t>(slot) != 0;
    case mtBCD: return Currency::FromRaw(Load<int64_t>(slot));
    case mtFMTBCD: return Load<TBcd>(slot);
    case mtSQLTimeStamp: return Load<TSQLTimeStamp>(slot);
    case mtMemo:
    case mtWideMemo: {
      TBlob* blob = Load<TBlob*>(slot);
      if (f.FDataType == mtMemo) return Variant::FromAnsi(blob ? blob->AsAnsiString() : std::string());
      return Variant(blob ? blob->AsString() : UString());
    }
    case mtBytes:
      return Variant::FromBytes(std::string(reinterpret_cast<const char*>(slot), static_cast<size_t>(f.FSize)));
    case mtVarBytes:
    case mtExtVarBytes: {
      std::string bytes(f.FDataType == mtVarBytes ? static_cast<size_t>(f.FSize) : 0, '\0');
      if (f.FDataType == mtExtVarBytes) {
        const uint8_t* p = Load<const uint8_t*>(slot);
        if (p) bytes.assign(reinterpret_cast<const char*>(p) + 2, Load<uint16_t>(p));
        return Variant::FromBytes(std::move(bytes));
      }
      bool blank;
      const size_t n = GetField(fieldNo, recBuf, blank, bytes.data(), bytes.size());
      return Variant::FromBytes(n >= 2 ? bytes.substr(2, n - 2) : std::string());
    }
    default: throw EConvertError(u"Cannot convert type " + IntToStr(f.FDataType));
  }
}

void TData::PutFieldAsVariant(int fieldNo, uint8_t* recBuf, const Variant& value) {
  const TFieldDesc& f = Field(fieldNo);
  if (value.IsEmptyOrNull()) {
    SetNull(fieldNo, recBuf, true);
    return;
  }
  uint8_t* slot = recBuf + f.FOffset;
  switch (f.FDataType) {
    case mtString:
    case mtExtString:
    case mtGuid: {
      const std::string text = value.AsAnsiString();
      PutField(fieldNo, recBuf, text.data(), text.size());
      return;
    }
    case mtWideString:
    case mtExtWideString: {
      const UString text = value.AsString();
      PutField(fieldNo, recBuf, text.data(), text.size() * 2);
      return;
    }
    case mtBytes:
    case mtVarBytes:
    case mtExtVarBytes: {
      std::string bytes = value.AsBytes();
      if (f.FDataType != mtBytes) {
        const auto length = static_cast<uint16_t>(std::min<size_t>(bytes.size(), 0xFFFF));
        bytes.resize(length);
        bytes.insert(0, reinterpret_cast<const char*>(&length), 2);
      }
      PutField(fieldNo, recBuf, bytes.data(), bytes.size());
      return;
    }
    case mtFloat:
    case mtCurrency: {
      const double v = value.AsFloat();
      PutField(fieldNo, recBuf, &v, sizeof v);
      return;
    }
    case mtMemo:
    case mtWideMemo:
    case mtBlob: {
      TBlob* blob = GetBlob(fieldNo, recBuf);
      if (!blob) {
        blob = NewBlob(f);
        Store<TBlob*>(slot, blob);
      }
      if (f.FDataType == mtBlob) blob->SetAsBytes(value.AsBytes());
      else if (f.FDataType == mtMemo) blob->SetAsAnsiString(value.AsAnsiString());
      else blob->SetAsString(value.AsString());
      break;
    }
    case mtVariant: {
      auto* holder = new TVariantObject(value);
      auto* old = Load<TVariantObject*>(slot);
      Store<TVariantObject*>(slot, holder);
      if (old) old->Release();
      break;
    }
    case mtInt8: Store<int8_t>(slot, static_cast<int8_t>(value.AsType(varShortInt).AsInteger())); break;
    case mtInt16: Store<int16_t>(slot, static_cast<int16_t>(value.AsType(varSmallint).AsInteger())); break;
    case mtInt32: Store<int32_t>(slot, value.AsInteger()); break;
    case mtUInt16: Store<uint16_t>(slot, static_cast<uint16_t>(value.AsType(varWord).AsInteger())); break;
    case mtUInt32: Store<uint32_t>(slot, static_cast<uint32_t>(value.AsType(varLongWord).AsInt64())); break;
    case mtInt64: Store<int64_t>(slot, value.AsInt64()); break;
    case mtUInt64: Store<uint64_t>(slot, value.AsUInt64()); break;
    case mtBoolean: Store<int16_t>(slot, value.AsBoolean() ? -1 : 0); break;
    case mtDate:
    case mtTime:
    case mtDateTime: Store<double>(slot, value.AsDateTime()); break;
    case mtBCD: Store<int64_t>(slot, value.AsCurrency().Value); break;
    case mtFMTBCD: {
      TBcd bcd = value.AsBcd();
      if (f.FLength > 0 && f.FLength <= kMaxBcdDigits && f.FScale <= f.FLength)
        bcd = NormalizeBcd(bcd, f.FLength, f.FScale);
      Store<TBcd>(slot, bcd);
      break;
    }
    case mtSQLTimeStamp: Store<TSQLTimeStamp>(slot, value.AsSQLTimeStamp()); break;
    default: throw EConvertError(u"Cannot convert type " + IntToStr(f.FDataType));
  }
  recBuf[FDataSize + fieldNo - 1] = 0;
}

}  // namespace vix
