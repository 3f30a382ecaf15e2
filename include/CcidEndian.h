// Little-endian access to wire fields (CCID messages, USB descriptors). Fields are read
// byte by byte so that neither alignment nor host byte order matters.
#pragma once

#include "CcidPlatform.h"

inline constexpr USHORT CcidReadLe16(const UCHAR* Bytes)
{
    return static_cast<USHORT>(Bytes[0] | (Bytes[1] << 8));
}

inline constexpr ULONG CcidReadLe32(const UCHAR* Bytes)
{
    return static_cast<ULONG>(Bytes[0]) | (static_cast<ULONG>(Bytes[1]) << 8) |
           (static_cast<ULONG>(Bytes[2]) << 16) | (static_cast<ULONG>(Bytes[3]) << 24);
}

inline constexpr VOID CcidWriteLe16(UCHAR* Bytes, USHORT Value)
{
    Bytes[0] = static_cast<UCHAR>(Value);
    Bytes[1] = static_cast<UCHAR>(Value >> 8);
}

inline constexpr VOID CcidWriteLe32(UCHAR* Bytes, ULONG Value)
{
    Bytes[0] = static_cast<UCHAR>(Value);
    Bytes[1] = static_cast<UCHAR>(Value >> 8);
    Bytes[2] = static_cast<UCHAR>(Value >> 16);
    Bytes[3] = static_cast<UCHAR>(Value >> 24);
}

// A 32-bit little-endian field inside a packed wire structure.
struct LE32 {
    UCHAR Bytes[4];

    constexpr ULONG Get() const { return CcidReadLe32(Bytes); }
    constexpr VOID Set(ULONG Value) { CcidWriteLe32(Bytes, Value); }
};

// A 16-bit little-endian field inside a packed wire structure.
struct LE16 {
    UCHAR Bytes[2];

    constexpr USHORT Get() const { return CcidReadLe16(Bytes); }
    constexpr VOID Set(USHORT Value) { CcidWriteLe16(Bytes, Value); }
};

static_assert(sizeof(LE32) == 4 && alignof(LE32) == 1, "LE32 must be a plain 4-byte field");
static_assert(sizeof(LE16) == 2 && alignof(LE16) == 1, "LE16 must be a plain 2-byte field");
static_assert(CcidReadLe32(LE32{{0x04, 0x03, 0x02, 0x01}}.Bytes) == 0x01020304, "byte order");

// Big-endian writes, for the PC/SC part 10 answers that give values most significant byte
// first.
inline constexpr VOID CcidWriteBe16(UCHAR* Bytes, USHORT Value)
{
    Bytes[0] = static_cast<UCHAR>(Value >> 8);
    Bytes[1] = static_cast<UCHAR>(Value);
}

inline constexpr VOID CcidWriteBe32(UCHAR* Bytes, ULONG Value)
{
    Bytes[0] = static_cast<UCHAR>(Value >> 24);
    Bytes[1] = static_cast<UCHAR>(Value >> 16);
    Bytes[2] = static_cast<UCHAR>(Value >> 8);
    Bytes[3] = static_cast<UCHAR>(Value);
}
