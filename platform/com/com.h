#pragma once
// The least COM ABI that the plug-in and its host share: GUIDs, IUnknown,
// IClassFactory, length-prefixed UTF-16 strings (BSTR), a VARIANT that
// carries 32-bit integers, and a reference-holding pointer. Header-only; it
// links against nothing, so a library and the program that loads it agree on
// it by compiling the same declarations.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "platform/com/hresult.h"

namespace platform {

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// "{1C5964EA-B4FA-44A3-81D7-3AD0281B5BFA}": upper-case hex in braces, the
// form registry keys use.
inline std::string GuidToString(const GUID& g) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "{";
  auto put = [&](uint64_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i) out.push_back(kHex[(v >> (i * 4)) & 0xF]);
  };
  put(g.Data1, 8);
  out.push_back('-');
  put(g.Data2, 4);
  out.push_back('-');
  put(g.Data3, 4);
  out.push_back('-');
  put(g.Data4[0], 2);
  put(g.Data4[1], 2);
  out.push_back('-');
  for (int i = 2; i < 8; ++i) put(g.Data4[i], 2);
  out.push_back('}');
  return out;
}

// Parses the braced form, hex digits of either case; false on anything else.
inline bool GuidFromString(std::string_view text, GUID& out) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  size_t pos = 1;
  auto take = [&](int digits, uint64_t& v) {
    v = 0;
    for (int i = 0; i < digits; ++i, ++pos) {
      const int d = hex(text[pos]);
      if (d < 0) return false;
      v = v * 16 + static_cast<uint64_t>(d);
    }
    return true;
  };
  auto dash = [&] { return text[pos++] == '-'; };
  uint64_t v;
  GUID g{};
  if (!take(8, v)) return false;
  g.Data1 = static_cast<uint32_t>(v);
  if (!dash() || !take(4, v)) return false;
  g.Data2 = static_cast<uint16_t>(v);
  if (!dash() || !take(4, v)) return false;
  g.Data3 = static_cast<uint16_t>(v);
  if (!dash()) return false;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !dash()) return false;
    if (!take(2, v)) return false;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  out = g;
  return true;
}

// Every interface starts with these three slots. Reference counts are 32-bit.
struct IUnknown {
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;  // objects go away through Release only
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT LockServer(int32_t lock) = 0;

 protected:
  ~IClassFactory() = default;
};

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The exports of an in-process server, by the names a host looks up.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();

// ---- BSTR ------------------------------------------------------------------
// UTF-16, NUL-terminated, with its length in bytes stored in the 32 bits
// before the first unit. Allocated with malloc so a string made in one module
// can be freed in another of the same process.
using BSTR = char16_t*;

inline BSTR SysAllocStringLen(const char16_t* text, uint32_t units) {
  if (units > (UINT32_MAX - sizeof(uint32_t) - sizeof(char16_t)) / sizeof(char16_t)) return nullptr;
  const size_t bytes = static_cast<size_t>(units) * sizeof(char16_t);
  auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(char16_t)));
  if (!block) return nullptr;
  const uint32_t length = static_cast<uint32_t>(bytes);
  std::memcpy(block, &length, sizeof length);
  auto* str = reinterpret_cast<char16_t*>(block + sizeof(uint32_t));
  if (text) {
    std::memcpy(str, text, bytes);
  } else {
    std::memset(str, 0, bytes);
  }
  str[units] = u'\0';
  return str;
}

inline BSTR SysAllocString(std::u16string_view text) {
  return SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
}

inline void SysFreeString(BSTR str) {
  if (str) std::free(reinterpret_cast<unsigned char*>(str) - sizeof(uint32_t));
}

// Units, from the prefix (a BSTR may hold NULs); 0 for a null BSTR.
inline uint32_t SysStringLen(BSTR str) {
  if (!str) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<unsigned char*>(str) - sizeof(uint32_t), sizeof bytes);
  return bytes / sizeof(char16_t);
}

// Owns one BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view text) : str_(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(str_); }
  Bstr(Bstr&& other) noexcept : str_(std::exchange(other.str_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) {
      SysFreeString(str_);
      str_ = std::exchange(other.str_, nullptr);
    }
    return *this;
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR get() const { return str_; }
  // For out parameters: frees what is held first.
  BSTR* put() {
    SysFreeString(str_);
    str_ = nullptr;
    return &str_;
  }
  std::u16string str() const { return str_ ? std::u16string(str_, SysStringLen(str_)) : std::u16string(); }

 private:
  BSTR str_ = nullptr;
};

// ---- VARIANT ---------------------------------------------------------------
using VARTYPE = uint16_t;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_I4 = 3;

struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int32_t lVal;
    int64_t llVal;
    struct {
      void* pvRecord;
      void* pRecInfo;
    } record;  // sizes the union as the platform's own VARIANT does
  };
};
static_assert(sizeof(VARIANT) == 24);

inline void VariantInit(VARIANT* v) { std::memset(v, 0, sizeof *v); }
// Only integers are carried, so clearing owns nothing to free.
inline HRESULT VariantClear(VARIANT* v) {
  if (!v) return E_POINTER;
  VariantInit(v);
  return S_OK;
}

// ---- ComPtr ----------------------------------------------------------------
// Holds one reference; releases it when it goes.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference on p.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { reset(); }
  ComPtr& operator=(const ComPtr& o) {
    ComPtr(o).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    ComPtr(std::move(o)).swap(*this);
    return *this;
  }
  // Adopts a reference that the caller already owns.
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out parameters: releases what is held first.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  T* detach() { return std::exchange(p_, nullptr); }
  void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

  template <typename U>
  HRESULT As(REFIID iid, ComPtr<U>& out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, out.put_void());
  }

 private:
  T* p_ = nullptr;
};

}  // namespace platform
