// Basic NT types, annotations and helper macros for the hosted build.
//
// The hosted kernel runs driver code on Linux (LP64), so every Windows type is spelt here
// with the width it has on Windows x64 (LLP64): LONG/ULONG are 32-bit, WCHAR is 16-bit,
// pointers are 64-bit. Driver code never uses bare `long`, `wchar_t` or L"" literals.
#pragma once

#if !defined(__cplusplus)
#error "The hosted kernel headers are C++ only"
#endif

#define _WIN64 1
#define _AMD64_ 1

// ---------------------------------------------------------------------------------------
// Calling conventions, storage classes, declaration specifiers
// ---------------------------------------------------------------------------------------
// Windows x64 has one calling convention, Microsoft's, whatever keyword a declaration
// carries. Every kernel, HAL, USBD and SMCLIB routine and every routine type (dispatch,
// completion, cancel, work item, reader function, ...) is declared with it here too, so the
// hosted driver, the hosted kernel that calls it back and a loaded ccid.sys agree; a driver
// routine of the wrong convention does not convert to its routine type and fails to build.
#define NTAPI __attribute__((ms_abi))
#define NTAPI_INLINE NTAPI
#define WINAPI NTAPI
#define __cdecl NTAPI
#define __stdcall NTAPI
#define __fastcall NTAPI
#define CALLBACK NTAPI
#define EXTERN_C extern "C"
#define NTKERNELAPI EXTERN_C
#define NTHALAPI EXTERN_C
#define NTSYSAPI EXTERN_C
#define NTSYSCALLAPI EXTERN_C
#define NTSTRSAFEAPI static inline NTSTATUS
#define DECLSPEC_IMPORT
#define DECLSPEC_EXPORT __attribute__((visibility("default")))
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define DECLSPEC_SELECTANY __attribute__((weak))
#define DECLSPEC_NOTHROW
#define DECLSPEC_CACHEALIGN DECLSPEC_ALIGN(64)
#define FORCEINLINE inline __attribute__((always_inline))
#define POINTER_ALIGNMENT DECLSPEC_ALIGN(8)
#define MEMORY_ALLOCATION_ALIGNMENT 16
#define RESTRICTED_POINTER
#define UNALIGNED
#define CONST const
#define VOID void
#define IN
#define OUT
#define OPTIONAL
#define ANYSIZE_ARRAY 1

// ---------------------------------------------------------------------------------------
// SAL annotations: documentation only in this build.
// ---------------------------------------------------------------------------------------
#define _In_
#define _In_opt_
#define _In_z_
#define _In_opt_z_
#define _In_reads_(x)
#define _In_reads_opt_(x)
#define _In_reads_bytes_(x)
#define _In_reads_bytes_opt_(x)
#define _In_range_(a, b)
#define _Out_
#define _Out_opt_
#define _Out_writes_(x)
#define _Out_writes_opt_(x)
#define _Out_writes_bytes_(x)
#define _Out_writes_bytes_opt_(x)
#define _Out_writes_bytes_to_(s, c)
#define _Out_writes_bytes_to_opt_(s, c)
#define _Out_writes_bytes_all_(x)
#define _Out_writes_to_(s, c)
#define _Out_range_(a, b)
#define _Inout_
#define _Inout_opt_
#define _Inout_z_
#define _Inout_updates_(x)
#define _Inout_updates_opt_(x)
#define _Inout_updates_bytes_(x)
#define _Inout_updates_bytes_opt_(x)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_result_nullonfailure_
#define _Outptr_result_bytebuffer_(x)
#define _Deref_out_range_(a, b)
#define _Ret_maybenull_
#define _Ret_notnull_
#define _Ret_range_(a, b)
#define _Result_nullonfailure_
#define _Post_maybenull_
#define _Post_invalid_
#define _Post_writable_byte_size_(x)
#define _Post_satisfies_(x)
#define _Pre_notnull_
#define _Pre_satisfies_(x)
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(x)
#define _Use_decl_annotations_
#define _When_(a, b)
#define _At_(a, b)
#define _Analysis_assume_(x)
#define _Printf_format_string_
#define _Field_size_(x)
#define _Field_size_opt_(x)
#define _Field_size_bytes_(x)
#define _Field_size_bytes_opt_(x)
#define _Field_size_part_(a, b)
#define _Field_size_bytes_part_(a, b)
#define _Field_range_(a, b)
#define _Reserved_
#define _Strict_type_match_
#define _Notliteral_
#define _Literal_
#define _Interlocked_operand_
#define _Maybe_raises_SEH_exception_
#define _Null_terminated_
#define _NullNull_terminated_
#define _Function_class_(x)
#define _Dispatch_type_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_requires_same_
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(a, b)
#define _IRQL_restores_global_(a, b)
#define _IRQL_always_function_min_(x)
#define _IRQL_always_function_max_(x)
#define _IRQL_uses_cancel_
#define _IRQL_is_cancel_
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _Acquires_exclusive_lock_(x)
#define _Releases_exclusive_lock_(x)
#define _Guarded_by_(x)
#define _Kernel_requires_resource_held_(x)
#define _Kernel_clear_do_init_(x)
#define _Kernel_float_saved_
#define _Kernel_float_restored_
#define _Kernel_float_used_
#define _Kernel_IoGetDmaAdapter_
#define _Kernel_acquires_resource_(x)
#define _Kernel_releases_resource_(x)
#define _Kernel_ptr_
#define _User_
#define _Enum_is_bitflag_
#define _Points_to_data_
#define _Pre_
#define _Post_
#define _Deref_pre_
#define _Deref_post_
#define _Deref_in_range_(a, b)
#define _Inexpressible_(x)
#define _Unreferenced_parameter_
#define _Writable_bytes_(x)
#define _Writable_elements_(x)
#define _Readable_bytes_(x)
#define _Readable_elements_(x)
#define _Releases_nonreentrant_lock_(x)
#define _Acquires_nonreentrant_lock_(x)
#define _Requires_exclusive_lock_held_(x)
#define _Has_lock_kind_(x)
#define _Create_lock_level_(x)
#define _Lock_level_order_(a, b)

// ---------------------------------------------------------------------------------------
// Scalar types (Windows x64 widths)
// ---------------------------------------------------------------------------------------
typedef void* PVOID;
typedef const void* PCVOID;
typedef void** PPVOID;
typedef char CHAR;
typedef signed char SCHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int LONG;
typedef unsigned int ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef signed char INT8;
typedef unsigned char UINT8;
typedef short INT16;
typedef unsigned short UINT16;
typedef int INT32;
typedef unsigned int UINT32;
typedef long long INT64;
typedef unsigned long long UINT64;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef long long LONG64;
typedef unsigned long long ULONG64;
typedef unsigned long long DWORD64;
typedef long long LONG_PTR;
typedef unsigned long long ULONG_PTR;
typedef long long INT_PTR;
typedef unsigned long long UINT_PTR;
typedef unsigned long long DWORD_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef unsigned int DWORD;
typedef unsigned short WORD;
typedef unsigned char BYTE;
typedef int BOOL;
typedef UCHAR BOOLEAN;
typedef char16_t WCHAR;
typedef CHAR CCHAR;
typedef short CSHORT;
typedef ULONG CLONG;
typedef LONG NTSTATUS;
typedef ULONG LOGICAL;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef ULONG EXECUTION_STATE;
typedef ULONG SECURITY_INFORMATION;
typedef ULONG LCID;
typedef LONG KPRIORITY;
typedef UCHAR KIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG_PTR KSPIN_LOCK;
typedef ULONG_PTR KAFFINITY;
typedef PVOID HANDLE;

typedef PVOID* PPVOID_T;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef UCHAR* PUCHAR;
typedef const UCHAR* PCUCHAR;
typedef SHORT* PSHORT;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef const ULONG* PCULONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef ULONG64* PULONG64;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* PCWCH;
typedef const CHAR* PCCH;
typedef CHAR* PCH;
typedef NTSTATUS* PNTSTATUS;
typedef KIRQL* PKIRQL;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef HANDLE* PHANDLE;
typedef ACCESS_MASK* PACCESS_MASK;
typedef DWORD* PDWORD;
typedef BYTE* PBYTE;

#ifndef NULL
#define NULL nullptr
#endif
#define FALSE 0
#define TRUE 1

#define MINCHAR 0x80
#define MAXCHAR 0x7f
#define MINSHORT 0x8000
#define MAXSHORT 0x7fff
#define MINLONG 0x80000000
#define MAXLONG 0x7fffffff
#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffu
#define MAXLONGLONG 0x7fffffffffffffffll
#define MAXULONG_PTR (~((ULONG_PTR)0))
#define MAXSIZE_T (~((SIZE_T)0))
#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32-bit as on Windows");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit as on Windows");
static_assert(sizeof(PVOID) == 8 && sizeof(ULONG_PTR) == 8 && sizeof(SIZE_T) == 8, "x64 pointers");
static_assert(sizeof(LONGLONG) == 8 && sizeof(BOOLEAN) == 1 && sizeof(KIRQL) == 1, "NT scalars");

// ---------------------------------------------------------------------------------------
// Structures shared by every kernel header
// ---------------------------------------------------------------------------------------
typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY, *RESTRICTED_POINTER PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING* PCSTRING;
typedef const ANSI_STRING* PCANSI_STRING;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID* PCGUID;
typedef const GUID& REFGUID;

#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  EXTERN_C const GUID DECLSPEC_SELECTANY name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}
#define InlineIsEqualGUID(a, b) IsEqualGUID(a, b)

static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER layout");
static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY layout");
static_assert(sizeof(UNICODE_STRING) == 16 && __builtin_offsetof(UNICODE_STRING, Buffer) == 8,
              "UNICODE_STRING layout");
static_assert(sizeof(ANSI_STRING) == 16, "ANSI_STRING layout");
static_assert(sizeof(GUID) == 16, "GUID layout");

// ---------------------------------------------------------------------------------------
// Helper macros
// ---------------------------------------------------------------------------------------
#define FIELD_OFFSET(type, field) ((LONG)__builtin_offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_SIZEOF_THROUGH_FIELD(type, field) (FIELD_OFFSET(type, field) + RTL_FIELD_SIZE(type, field))
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define DBG_UNREFERENCED_PARAMETER(p) ((void)(p))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(v) ((void)(v))
#define ARGUMENT_PRESENT(p) ((CHAR*)((ULONG_PTR)(p)) != (CHAR*)NULL)
#define C_ASSERT(e) static_assert(e, #e)
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_UP_BY(length, alignment) (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment) - 1), alignment))
#define MAKELONG(a, b) ((LONG)(((USHORT)(a)) | ((ULONG)((USHORT)(b))) << 16))
#define LOWORD(l) ((USHORT)((ULONG_PTR)(l) & 0xffff))
#define HIWORD(l) ((USHORT)((ULONG_PTR)(l) >> 16))
#define LOBYTE(w) ((UCHAR)((ULONG_PTR)(w) & 0xff))
#define HIBYTE(w) ((UCHAR)((ULONG_PTR)(w) >> 8))
#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

// A UNICODE_STRING over a literal: Length without the terminating NUL.
inline PWSTR RtlpConstantStringBuffer(const WCHAR* s) { return const_cast<PWSTR>(s); }
inline PCHAR RtlpConstantStringBuffer(const CHAR* s) { return const_cast<PCHAR>(s); }
#define RTL_CONSTANT_STRING(s) \
  { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), RtlpConstantStringBuffer(s) }

// OBJECT_ATTRIBUTES and its attribute flags.
typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES layout");

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_VALID_ATTRIBUTES 0x000007F2L

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)
