// The image loader (image_loader.h): PE32+ checks, mapping, base relocations, import
// binding, the security cookie, the entry call, and the crash report of image code.
#include "image_loader.h"
#include "pool.h"

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <type_traits>

#include "internal.h"

extern "C" {
void* hosted_image_entry = nullptr;
// A Microsoft x64 routine (DRIVER_INITIALIZE) that calls hosted_image_entry with the same
// arguments and with RDI and RSI, which a Microsoft x64 caller expects back unchanged,
// saved and poisoned.
NTSTATUS NTAPI HostedImageEntryThunk(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
}

namespace hosted {
namespace {

// ---- PE32+ layout ----------------------------------------------------------------------
constexpr std::uint16_t kDosMagic = 0x5A4D;           // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;    // "PE\0\0"
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint16_t kSubsystemNative = 1;
constexpr std::uint16_t kFileRelocsStripped = 0x0001;
constexpr std::uint16_t kFileExecutableImage = 0x0002;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kOptionalDirectories = 112;  // offset of DataDirectory in the optional header
constexpr std::size_t kImportDirectory = 1;
constexpr std::size_t kExceptionDirectory = 3;
constexpr std::size_t kBaseRelocDirectory = 5;
constexpr std::size_t kLoadConfigDirectory = 10;
constexpr std::uint16_t kRelocAbsolute = 0;
constexpr std::uint16_t kRelocDir64 = 10;
constexpr std::uint64_t kOrdinalFlag = 1ULL << 63;
constexpr std::size_t kLoadConfigCookieOffset = 0x58;  // IMAGE_LOAD_CONFIG_DIRECTORY64.SecurityCookie
constexpr std::uint64_t kDefaultSecurityCookie = 0x00002B992DDFA232ULL;

struct RuntimeFunction {
  std::uint32_t begin;
  std::uint32_t end;
  std::uint32_t unwindInfo;
};

struct Symbol {
  std::uint32_t rva;
  std::string name;
};

// A load refused: the status Windows would report and what is wrong.
struct Refusal {
  NTSTATUS status;
  std::string message;
};

template <typename T>
std::optional<T> ReadAt(const std::vector<std::uint8_t>& file, std::size_t offset) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, file.data() + offset, sizeof value);
  return value;
}

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// Image code calls the platform, and is called back, with the Microsoft x64 convention:
// the hosted headers must declare the routines and routine types with it (NTAPI).
constexpr bool kPlatformSpeaksMicrosoftX64 =
    std::is_same_v<PDRIVER_DISPATCH, NTSTATUS(__attribute__((ms_abi))*)(PDEVICE_OBJECT, PIRP)>;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SameModule(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// ---- a mapped image --------------------------------------------------------------------
class MappedImage {
 public:
  MappedImage(std::string path) : path_(std::move(path)), name_(BaseName(path_)) {}
  ~MappedImage();
  MappedImage(const MappedImage&) = delete;
  MappedImage& operator=(const MappedImage&) = delete;

  std::optional<Refusal> Map(const std::vector<std::uint8_t>& file);

  const std::string& Name() const { return name_; }
  std::uint8_t* Base() const { return base_; }
  std::size_t Size() const { return size_; }
  bool Contains(std::uint64_t address) const {
    const auto base = reinterpret_cast<std::uint64_t>(base_);
    return address >= base && address < base + size_;
  }
  std::uint32_t EntryRva() const { return entryRva_; }
  const RuntimeFunction* FunctionAt(std::uint32_t rva) const;
  const Symbol* SymbolAt(std::uint32_t rva) const;
  void LoadLinkMap();

 private:
  std::optional<Refusal> CheckHeaders(const std::vector<std::uint8_t>& file);
  std::optional<Refusal> CopySections(const std::vector<std::uint8_t>& file);
  std::optional<Refusal> Relocate();
  std::optional<Refusal> BindImports();
  void SeedSecurityCookie();
  std::optional<Refusal> Protect();
  bool InImage(std::uint32_t rva, std::size_t length) const { return rva <= size_ && size_ - rva >= length; }
  template <typename T>
  T At(std::uint32_t rva) const {
    T value;
    std::memcpy(&value, base_ + rva, sizeof value);
    return value;
  }
  std::optional<std::string> StringAt(std::uint32_t rva) const;

  struct SectionHeader {
    std::string name;
    std::uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
  };
  struct Directory {
    std::uint32_t rva = 0, size = 0;
  };

  std::string path_;
  std::string name_;
  std::uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t preferredBase_ = 0;
  std::uint16_t characteristics_ = 0;
  std::uint32_t entryRva_ = 0;
  std::uint32_t headersSize_ = 0;
  std::uint32_t sectionAlignment_ = 0;
  std::vector<SectionHeader> sections_;
  std::array<Directory, 16> directories_{};
  std::vector<RuntimeFunction> functions_;
  std::vector<Symbol> symbols_;  // sorted by rva
};

// Loaded images, for the crash handler (which takes no lock): a fixed table of pointers.
constexpr std::size_t kMaxImages = 16;
std::array<std::atomic<MappedImage*>, kMaxImages> g_images{};

void Register(MappedImage* image) {
  for (auto& slot : g_images) {
    MappedImage* empty = nullptr;
    if (slot.compare_exchange_strong(empty, image)) return;
  }
}

void Unregister(MappedImage* image) {
  for (auto& slot : g_images) {
    MappedImage* expected = image;
    slot.compare_exchange_strong(expected, nullptr);
  }
}

const MappedImage* ImageContaining(std::uint64_t address) {
  for (auto& slot : g_images) {
    const MappedImage* image = slot.load();
    if (image != nullptr && image->Contains(address)) return image;
  }
  return nullptr;
}

// Where unloaded images were, for the crash handler: code that runs at such an address
// is a routine of a driver that is gone (a fixed ring, written without a lock; the name is
// cut to fit).
struct UnloadedImage {
  std::atomic<std::uint64_t> base{0};
  std::atomic<std::uint64_t> size{0};
  char name[32] = {};
};
constexpr std::size_t kMaxUnloaded = 16;
std::array<UnloadedImage, kMaxUnloaded> g_unloaded{};
std::atomic<std::size_t> g_nextUnloaded{0};

void RememberUnloaded(const MappedImage& image) {
  UnloadedImage& slot = g_unloaded[g_nextUnloaded.fetch_add(1) % kMaxUnloaded];
  slot.size.store(0);
  std::snprintf(slot.name, sizeof slot.name, "%s", image.Name().c_str());
  slot.base.store(reinterpret_cast<std::uint64_t>(image.Base()));
  slot.size.store(image.Size());
}

const UnloadedImage* UnloadedContaining(std::uint64_t address) {
  for (const UnloadedImage& slot : g_unloaded) {
    const std::uint64_t base = slot.base.load(), size = slot.size.load();
    if (size != 0 && address >= base && address - base < size) return &slot;
  }
  return nullptr;
}

MappedImage::~MappedImage() {
  Unregister(this);
  if (base_ != nullptr) {
    RememberUnloaded(*this);
    munmap(base_, size_);
  }
}

std::optional<std::string> MappedImage::StringAt(std::uint32_t rva) const {
  if (rva >= size_) return std::nullopt;
  const char* text = reinterpret_cast<const char*>(base_ + rva);
  const std::size_t length = strnlen(text, size_ - rva);
  if (length == size_ - rva) return std::nullopt;
  return std::string(text, length);
}

std::optional<Refusal> MappedImage::Map(const std::vector<std::uint8_t>& file) {
  if (auto refusal = CheckHeaders(file)) return refusal;
  void* base = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return Refusal{STATUS_INSUFFICIENT_RESOURCES, "cannot reserve " + std::to_string(size_) + " bytes"};
  base_ = static_cast<std::uint8_t*>(base);
  if (mprotect(base_, size_, PROT_READ | PROT_WRITE) != 0)
    return Refusal{STATUS_INSUFFICIENT_RESOURCES, "cannot commit the image's pages"};
  if (auto refusal = CopySections(file)) return refusal;
  if (auto refusal = Relocate()) return refusal;
  if (auto refusal = BindImports()) return refusal;
  SeedSecurityCookie();
  const Directory pdata = directories_[kExceptionDirectory];
  if (pdata.size != 0 && InImage(pdata.rva, pdata.size)) {
    for (std::uint32_t at = pdata.rva; at + sizeof(RuntimeFunction) <= pdata.rva + pdata.size; at += sizeof(RuntimeFunction))
      functions_.push_back(At<RuntimeFunction>(at));
  }
  if (auto refusal = Protect()) return refusal;
  LoadLinkMap();
  Register(this);
  return std::nullopt;
}

std::optional<Refusal> MappedImage::CheckHeaders(const std::vector<std::uint8_t>& file) {
  const Refusal bad{STATUS_INVALID_IMAGE_FORMAT, ""};
  auto refuse = [&](const std::string& why) { return Refusal{bad.status, why}; };
  if (ReadAt<std::uint16_t>(file, 0) != kDosMagic) return refuse("no MZ header");
  const auto peOffset = ReadAt<std::uint32_t>(file, 0x3C);
  if (!peOffset || ReadAt<std::uint32_t>(file, *peOffset) != kPeSignature) return refuse("no PE signature");
  const std::size_t header = *peOffset + 4;
  const auto machine = ReadAt<std::uint16_t>(file, header);
  const auto sectionCount = ReadAt<std::uint16_t>(file, header + 2);
  const auto optionalSize = ReadAt<std::uint16_t>(file, header + 16);
  const auto characteristics = ReadAt<std::uint16_t>(file, header + 18);
  if (!machine || !sectionCount || !optionalSize || !characteristics) return refuse("truncated file header");
  if (*machine != kMachineAmd64) return refuse("machine " + Hex(*machine) + " is not AMD64");
  if ((*characteristics & kFileExecutableImage) == 0) return refuse("not an executable image");
  characteristics_ = *characteristics;
  const std::size_t optional = header + kFileHeaderSize;
  if (ReadAt<std::uint16_t>(file, optional) != kMagicPe32Plus) return refuse("not a PE32+ image");
  if (*optionalSize < kOptionalDirectories) return refuse("optional header too short");
  entryRva_ = ReadAt<std::uint32_t>(file, optional + 16).value_or(0);
  preferredBase_ = ReadAt<std::uint64_t>(file, optional + 24).value_or(0);
  sectionAlignment_ = ReadAt<std::uint32_t>(file, optional + 32).value_or(0);
  const std::uint32_t fileAlignment = ReadAt<std::uint32_t>(file, optional + 36).value_or(0);
  size_ = ReadAt<std::uint32_t>(file, optional + 56).value_or(0);
  headersSize_ = ReadAt<std::uint32_t>(file, optional + 60).value_or(0);
  const auto subsystem = ReadAt<std::uint16_t>(file, optional + 68);
  const std::uint32_t directoryCount = ReadAt<std::uint32_t>(file, optional + 108).value_or(0);
  if (subsystem != kSubsystemNative) return refuse("subsystem " + std::to_string(subsystem.value_or(0)) + " is not native");
  const auto pageSize = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
  if (sectionAlignment_ < pageSize || sectionAlignment_ % pageSize != 0 || fileAlignment == 0 ||
      fileAlignment > sectionAlignment_)
    return refuse("section alignment " + Hex(sectionAlignment_) + " / file alignment " + Hex(fileAlignment) +
                  ": sections cannot have their own page protections");
  if (size_ == 0 || size_ % sectionAlignment_ != 0) return refuse("size of image " + Hex(size_) + " is not aligned");
  if (headersSize_ == 0 || headersSize_ > file.size() || headersSize_ > size_) return refuse("bad size of headers");
  if (entryRva_ == 0 || entryRva_ >= size_) return refuse("no entry point");
  for (std::uint32_t i = 0; i < std::min<std::uint32_t>(directoryCount, 16); ++i) {
    const std::size_t at = optional + kOptionalDirectories + 8 * i;
    if (at + 8 > optional + *optionalSize) break;
    directories_[i] = Directory{ReadAt<std::uint32_t>(file, at).value_or(0), ReadAt<std::uint32_t>(file, at + 4).value_or(0)};
    if (directories_[i].size != 0 && !InImage(directories_[i].rva, directories_[i].size))
      return refuse("data directory " + std::to_string(i) + " lies outside the image");
  }
  const std::size_t table = optional + *optionalSize;
  std::uint32_t next = headersSize_;
  for (std::uint16_t i = 0; i < *sectionCount; ++i) {
    const std::size_t at = table + i * kSectionHeaderSize;
    if (at + kSectionHeaderSize > file.size()) return refuse("truncated section table");
    SectionHeader section;
    section.name.assign(reinterpret_cast<const char*>(file.data() + at), strnlen(reinterpret_cast<const char*>(file.data() + at), 8));
    section.virtualSize = *ReadAt<std::uint32_t>(file, at + 8);
    section.virtualAddress = *ReadAt<std::uint32_t>(file, at + 12);
    section.rawSize = *ReadAt<std::uint32_t>(file, at + 16);
    section.rawOffset = *ReadAt<std::uint32_t>(file, at + 20);
    section.characteristics = *ReadAt<std::uint32_t>(file, at + 36);
    const std::uint32_t span = std::max(section.virtualSize, section.rawSize);
    if (section.virtualAddress % sectionAlignment_ != 0 || section.virtualAddress < next || !InImage(section.virtualAddress, span))
      return refuse("section " + section.name + " at " + Hex(section.virtualAddress) + " is misplaced");
    if (section.rawSize != 0 && (section.rawOffset > file.size() || file.size() - section.rawOffset < section.rawSize))
      return refuse("section " + section.name + " extends past the end of the file");
    next = section.virtualAddress + span;
    sections_.push_back(section);
  }
  return std::nullopt;
}

std::optional<Refusal> MappedImage::CopySections(const std::vector<std::uint8_t>& file) {
  std::memcpy(base_, file.data(), headersSize_);
  for (const SectionHeader& section : sections_) {
    const std::uint32_t length = section.virtualSize == 0 ? section.rawSize : std::min(section.rawSize, section.virtualSize);
    if (length != 0) std::memcpy(base_ + section.virtualAddress, file.data() + section.rawOffset, length);
  }
  return std::nullopt;
}

// Base relocations: the image moves from its preferred base to where it was mapped. Only
// DIR64 (and the ABSOLUTE padding) belongs in an x64 image; anything else is refused.
std::optional<Refusal> MappedImage::Relocate() {
  const std::uint64_t delta = reinterpret_cast<std::uint64_t>(base_) - preferredBase_;
  const Directory relocs = directories_[kBaseRelocDirectory];
  if (relocs.size == 0 || (characteristics_ & kFileRelocsStripped) != 0) {
    if (delta == 0) return std::nullopt;
    return Refusal{STATUS_INVALID_IMAGE_FORMAT, "the image has no base relocations: it cannot move from its preferred base " +
                                                    Hex(preferredBase_) + " (kernel images are always relocated)"};
  }
  std::uint32_t block = relocs.rva;
  while (block + 8 <= relocs.rva + relocs.size) {
    const auto page = At<std::uint32_t>(block);
    const auto blockSize = At<std::uint32_t>(block + 4);
    if (blockSize < 8 || blockSize % 2 != 0 || block + blockSize > relocs.rva + relocs.size)
      return Refusal{STATUS_INVALID_IMAGE_FORMAT, "malformed base relocation block at RVA " + Hex(block)};
    for (std::uint32_t entry = block + 8; entry < block + blockSize; entry += 2) {
      const auto value = At<std::uint16_t>(entry);
      const std::uint16_t type = value >> 12;
      const std::uint32_t rva = page + (value & 0xFFF);
      if (type == kRelocAbsolute) continue;
      if (type != kRelocDir64)
        return Refusal{STATUS_INVALID_IMAGE_FORMAT,
                       "unsupported base relocation type " + std::to_string(type) + " at RVA " + Hex(rva) + " (an x64 image has DIR64 only)"};
      if (!InImage(rva, 8)) return Refusal{STATUS_INVALID_IMAGE_FORMAT, "base relocation outside the image at RVA " + Hex(rva)};
      std::uint64_t target = At<std::uint64_t>(rva) + delta;
      std::memcpy(base_ + rva, &target, sizeof target);
    }
    block += blockSize;
  }
  return std::nullopt;
}

// Imports by name only; the modules are the kernel's own (ntoskrnl.exe, HAL.dll) and the
// two libraries a smart-card reader driver links (USBD.SYS, SMCLIB.SYS).
std::optional<Refusal> MappedImage::BindImports() {
  const Directory imports = directories_[kImportDirectory];
  for (std::uint32_t descriptor = imports.rva; imports.size != 0 && InImage(descriptor, 20); descriptor += 20) {
    const auto lookup = At<std::uint32_t>(descriptor);
    const auto nameRva = At<std::uint32_t>(descriptor + 12);
    const auto iat = At<std::uint32_t>(descriptor + 16);
    if (nameRva == 0 && iat == 0) return std::nullopt;
    const std::optional<std::string> module = StringAt(nameRva);
    if (!module) return Refusal{STATUS_INVALID_IMAGE_FORMAT, "import descriptor at RVA " + Hex(descriptor) + " has no module name"};
    const std::uint32_t names = lookup != 0 ? lookup : iat;
    for (std::uint32_t slot = 0;; slot += 8) {
      if (!InImage(names + slot, 8) || !InImage(iat + slot, 8))
        return Refusal{STATUS_INVALID_IMAGE_FORMAT, "import table of " + *module + " runs past the image"};
      const auto thunk = At<std::uint64_t>(names + slot);
      if (thunk == 0) break;
      if ((thunk & kOrdinalFlag) != 0)
        return Refusal{STATUS_PROCEDURE_NOT_FOUND, "the image imports ordinal " + std::to_string(thunk & 0xFFFF) + " from " + *module +
                                                       ", which the platform does not export by ordinal"};
      const std::optional<std::string> routine = StringAt(static_cast<std::uint32_t>(thunk) + 2);
      if (!routine) return Refusal{STATUS_INVALID_IMAGE_FORMAT, "import name of " + *module + " runs past the image"};
      const void* address = FindImageExport(*module, *routine);
      if (address == nullptr)
        return Refusal{STATUS_PROCEDURE_NOT_FOUND, "the image imports " + *routine + " from " + *module +
                                                       ", which the platform does not export (STATUS_PROCEDURE_NOT_FOUND: Windows refuses "
                                                       "the driver with code 39)"};
      const auto value = reinterpret_cast<std::uint64_t>(address);
      std::memcpy(base_ + iat + slot, &value, sizeof value);
    }
  }
  return std::nullopt;
}

// As the Windows loader does for an image whose load configuration names a cookie still at
// its default: a fresh value with the top 16 bits clear. (An image without one seeds its
// own guard at entry.)
void MappedImage::SeedSecurityCookie() {
  const Directory config = directories_[kLoadConfigDirectory];
  if (config.size < kLoadConfigCookieOffset + 8) return;
  const auto cookieVa = At<std::uint64_t>(config.rva + kLoadConfigCookieOffset);
  const std::uint64_t cookieRva = cookieVa - reinterpret_cast<std::uint64_t>(base_);
  if (cookieVa == 0 || !InImage(static_cast<std::uint32_t>(cookieRva), 8) || cookieRva > size_) return;
  if (At<std::uint64_t>(static_cast<std::uint32_t>(cookieRva)) != kDefaultSecurityCookie) return;
  std::uint64_t cookie = (__builtin_ia32_rdtsc() ^ reinterpret_cast<std::uint64_t>(base_) ^ getpid()) & 0x0000FFFFFFFFFFFFULL;
  if (cookie == 0 || cookie == kDefaultSecurityCookie) cookie = kDefaultSecurityCookie ^ 0x5A5A;
  std::memcpy(base_ + cookieRva, &cookie, sizeof cookie);
}

std::optional<Refusal> MappedImage::Protect() {
  if (mprotect(base_, size_, PROT_NONE) != 0 || mprotect(base_, headersSize_, PROT_READ) != 0)
    return Refusal{STATUS_INSUFFICIENT_RESOURCES, "cannot protect the image's headers"};
  const auto pageSize = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
  for (const SectionHeader& section : sections_) {
    int protection = PROT_NONE;
    if ((section.characteristics & kSectionRead) != 0) protection |= PROT_READ;
    if ((section.characteristics & kSectionWrite) != 0) protection |= PROT_WRITE;
    if ((section.characteristics & kSectionExecute) != 0) protection |= PROT_EXEC;
    const std::uint32_t span = std::max(section.virtualSize, section.rawSize);
    const std::uint32_t length = (span + pageSize - 1) / pageSize * pageSize;
    if (length != 0 && mprotect(base_ + section.virtualAddress, length, protection) != 0)
      return Refusal{STATUS_INSUFFICIENT_RESOURCES, "cannot protect section " + section.name};
  }
  return std::nullopt;
}

const RuntimeFunction* MappedImage::FunctionAt(std::uint32_t rva) const {
  auto it = std::upper_bound(functions_.begin(), functions_.end(), rva,
                             [](std::uint32_t value, const RuntimeFunction& f) { return value < f.begin; });
  if (it == functions_.begin()) return nullptr;
  --it;
  return rva < it->end ? &*it : nullptr;
}

const Symbol* MappedImage::SymbolAt(std::uint32_t rva) const {
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), rva, [](std::uint32_t value, const Symbol& s) { return value < s.rva; });
  if (it == symbols_.begin()) return nullptr;
  return &*(it - 1);
}

// The GNU ld link map beside the image: "<image>.map", else "ccid.map" in the same folder.
// Symbol lines are "<address> <name>", the name demangled by the linker or here.
void MappedImage::LoadLinkMap() {
  const std::size_t slash = path_.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
  std::string stem = name_.substr(0, name_.find_last_of('.'));
  std::ifstream in(folder + stem + ".map");
  if (!in) in.open(folder + "ccid.map");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string address, name;
    if (!(fields >> address) || address.rfind("0x", 0) != 0 || !std::getline(fields >> std::ws, name)) continue;
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) continue;
    const std::uint64_t va = std::strtoull(address.c_str(), nullptr, 16);
    if (va < preferredBase_ || va >= preferredBase_ + size_) continue;
    int status = 0;
    char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status == 0 && demangled != nullptr) name = demangled;
    std::free(demangled);
    symbols_.push_back(Symbol{static_cast<std::uint32_t>(va - preferredBase_), name});
  }
  std::sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
}

// ---- crash reports ---------------------------------------------------------------------
std::string DescribeIn(const MappedImage& image, std::uint64_t address) {
  const auto rva = static_cast<std::uint32_t>(address - reinterpret_cast<std::uint64_t>(image.Base()));
  std::string text = image.Name() + "+" + Hex(rva);
  const RuntimeFunction* function = image.FunctionAt(rva);
  const Symbol* symbol = image.SymbolAt(rva);
  if (symbol != nullptr && (function == nullptr || symbol->rva >= function->begin)) {
    text += " (" + symbol->name + "+" + Hex(rva - symbol->rva) + ")";
  } else if (function != nullptr) {
    text += " (routine " + Hex(function->begin) + "-" + Hex(function->end) + "+" + Hex(rva - function->begin) + ")";
  }
  return text;
}

// Register numbers of the x64 unwind codes: RAX RCX RDX RBX RSP RBP RSI RDI R8..R15.
struct UnwindContext {
  std::uint64_t rip;
  std::array<std::uint64_t, 16> regs;
};

constexpr std::uint8_t kUnwindChainInfo = 0x4;
enum UnwindOp : std::uint8_t {
  kPushNonvol = 0, kAllocLarge = 1, kAllocSmall = 2, kSetFpreg = 3, kSaveNonvol = 4,
  kSaveNonvolFar = 5, kSaveXmm128 = 8, kSaveXmm128Far = 9, kPushMachframe = 10,
};

// One step of RtlVirtualUnwind: undoes the prologue of the routine at context.rip (as far
// as it ran) and returns to its caller. False when the stack leaves [low, high).
bool VirtualUnwind(const MappedImage& image, UnwindContext& context, std::uint64_t low, std::uint64_t high) {
  const std::uint8_t* base = image.Base();
  const auto rva = static_cast<std::uint32_t>(context.rip - reinterpret_cast<std::uint64_t>(base));
  const RuntimeFunction* function = image.FunctionAt(rva);
  auto readable = [&](std::uint64_t at) { return at >= low && at + 8 <= high; };
  auto load = [&](std::uint64_t at) { return *reinterpret_cast<const std::uint64_t*>(at); };
  std::uint64_t& rsp = context.regs[4];
  if (function == nullptr) {  // a leaf routine: the return address is on top
    if (!readable(rsp)) return false;
    context.rip = load(rsp);
    rsp += 8;
    return true;
  }
  std::uint32_t offset = rva - function->begin;
  bool chained = false;
  for (int depth = 0; depth < 8; ++depth) {
    if (!image.Contains(reinterpret_cast<std::uint64_t>(base) + function->unwindInfo + 4)) return false;
    const std::uint8_t* info = base + function->unwindInfo;
    const std::uint8_t flags = info[0] >> 3;
    const std::uint8_t prolog = info[1];
    const std::uint8_t count = info[2];
    const std::uint8_t frameRegister = info[3] & 0xF;
    const std::uint8_t frameOffset = info[3] >> 4;
    const auto* codes = reinterpret_cast<const std::uint16_t*>(info + 4);
    for (std::uint8_t i = 0; i < count; ++i) {
      const std::uint8_t codeOffset = codes[i] & 0xFF;
      const std::uint8_t op = (codes[i] >> 8) & 0xF;
      const std::uint8_t opInfo = codes[i] >> 12;
      std::uint8_t slots = 0;
      switch (op) {
        case kAllocLarge: slots = opInfo == 0 ? 1 : 2; break;
        case kSaveNonvol: case kSaveXmm128: slots = 1; break;
        case kSaveNonvolFar: case kSaveXmm128Far: slots = 2; break;
        default: break;
      }
      // Codes of prologue instructions that have not run yet do not apply.
      if (!chained && offset < prolog && codeOffset > offset) {
        i += slots;
        continue;
      }
      switch (op) {
        case kPushNonvol:
          if (!readable(rsp)) return false;
          context.regs[opInfo] = load(rsp);
          rsp += 8;
          break;
        case kAllocLarge:
          rsp += opInfo == 0 ? codes[i + 1] * 8ULL : (codes[i + 1] | static_cast<std::uint64_t>(codes[i + 2]) << 16);
          break;
        case kAllocSmall: rsp += opInfo * 8ULL + 8; break;
        case kSetFpreg: rsp = context.regs[frameRegister] - frameOffset * 16ULL; break;
        case kSaveNonvol:
          if (!readable(rsp + codes[i + 1] * 8ULL)) return false;
          context.regs[opInfo] = load(rsp + codes[i + 1] * 8ULL);
          break;
        case kSaveNonvolFar: {
          const std::uint64_t at = rsp + (codes[i + 1] | static_cast<std::uint64_t>(codes[i + 2]) << 16);
          if (!readable(at)) return false;
          context.regs[opInfo] = load(at);
          break;
        }
        case kPushMachframe: {
          const std::uint64_t frame = rsp + (opInfo != 0 ? 8 : 0);
          if (!readable(frame) || !readable(frame + 24)) return false;
          context.rip = load(frame);
          rsp = load(frame + 24);
          return true;
        }
        default: break;
      }
      i += slots;
    }
    if ((flags & kUnwindChainInfo) == 0) break;
    const std::size_t aligned = (count + 1) & ~1u;
    function = reinterpret_cast<const RuntimeFunction*>(info + 4 + aligned * 2);
    chained = true;
  }
  if (!readable(rsp)) return false;
  context.rip = load(rsp);
  rsp += 8;
  return true;
}

struct sigaction g_previous[3];
constexpr int kSignals[3] = {SIGSEGV, SIGBUS, SIGILL};

void Emit(const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(STDERR_FILENO, text.data() + written, text.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
}

bool NearPoison(std::uint64_t value) { return value - kImageArgumentPoison < 0x10000; }

std::string HostedCaller(std::uint64_t address) {
  const auto thunk = reinterpret_cast<std::uint64_t>(&HostedImageEntryThunk);
  if (address > thunk && address < thunk + 64) return "HostedImageEntryThunk (the kernel calling the entry point)";
  return Drivers::SymbolName(reinterpret_cast<const void*>(address));
}

void OnImageFault(int signal, siginfo_t* info, void* raw) {
  auto* uc = static_cast<ucontext_t*>(raw);
  const greg_t* g = uc->uc_mcontext.gregs;
  UnwindContext context{static_cast<std::uint64_t>(g[REG_RIP]),
                        {static_cast<std::uint64_t>(g[REG_RAX]), static_cast<std::uint64_t>(g[REG_RCX]),
                         static_cast<std::uint64_t>(g[REG_RDX]), static_cast<std::uint64_t>(g[REG_RBX]),
                         static_cast<std::uint64_t>(g[REG_RSP]), static_cast<std::uint64_t>(g[REG_RBP]),
                         static_cast<std::uint64_t>(g[REG_RSI]), static_cast<std::uint64_t>(g[REG_RDI]),
                         static_cast<std::uint64_t>(g[REG_R8]), static_cast<std::uint64_t>(g[REG_R9]),
                         static_cast<std::uint64_t>(g[REG_R10]), static_cast<std::uint64_t>(g[REG_R11]),
                         static_cast<std::uint64_t>(g[REG_R12]), static_cast<std::uint64_t>(g[REG_R13]),
                         static_cast<std::uint64_t>(g[REG_R14]), static_cast<std::uint64_t>(g[REG_R15])}};
  const int index = signal == SIGSEGV ? 0 : signal == SIGBUS ? 1 : 2;
  const MappedImage* image = ImageContaining(context.rip);
  if (image != nullptr) {
    std::string report = std::string("\n*** ") + (signal == SIGILL ? "SIGILL" : signal == SIGBUS ? "SIGBUS" : "SIGSEGV") +
                         " in driver image code at " + DescribeIn(*image, context.rip);
    if (signal != SIGILL) report += ", address " + Hex(reinterpret_cast<std::uint64_t>(info->si_addr));
    report += "\n";
    // A general-protection fault (a non-canonical address, reported as 0) with a register
    // near the poison: the routine used RDI or RSI as an argument.
    const auto faultAddress = reinterpret_cast<std::uint64_t>(info->si_addr);
    bool poisoned = false;
    for (std::uint64_t value : context.regs) poisoned |= NearPoison(value);
    if (signal == SIGSEGV && (faultAddress == 0 || NearPoison(faultAddress)) && poisoned)
      report += "    a register holds the poison the kernel puts in RDI and RSI: the routine reads arguments where the System V "
                "convention passes them; Windows calls driver routines with the Microsoft x64 convention (RCX, RDX, R8, R9)\n";
    // The caller chain, by the images' unwind data, within the faulting thread's stack.
    std::uint64_t low = context.regs[4], high = low + (1u << 20);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* stack = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &stack, &size) == 0) high = reinterpret_cast<std::uint64_t>(stack) + size;
      pthread_attr_destroy(&attr);
    }
    for (int frame = 0; frame < 32 && image != nullptr; ++frame) {
      if (!VirtualUnwind(*image, context, low, high)) break;
      image = ImageContaining(context.rip);
      report += "    called from " + (image != nullptr ? DescribeIn(*image, context.rip) : HostedCaller(context.rip)) + "\n";
    }
    Emit(report);
  } else if (const UnloadedImage* gone = UnloadedContaining(context.rip)) {
    Emit(std::string("\n*** ") + (signal == SIGILL ? "SIGILL" : signal == SIGBUS ? "SIGBUS" : "SIGSEGV") + " at " +
         Hex(context.rip) + ", in the code of " + gone->name + " (RVA " + Hex(context.rip - gone->base.load()) +
         ") after it was unloaded: a routine of the driver ran, or was still running, once its image was gone\n");
  }
  // The previous handler (the sanitizer's, or the default that ends the process) takes the
  // signal when the instruction faults again.
  sigaction(signal, &g_previous[index], nullptr);
}

// A routine's name for the dispatch table and reports: the symbol alone at its start.
std::string ImageSymbolName(const void* address) {
  const auto value = reinterpret_cast<std::uint64_t>(address);
  const MappedImage* image = ImageContaining(value);
  if (image == nullptr) return {};
  const Symbol* symbol = image->SymbolAt(static_cast<std::uint32_t>(value - reinterpret_cast<std::uint64_t>(image->Base())));
  if (symbol != nullptr && reinterpret_cast<std::uint64_t>(image->Base()) + symbol->rva == value) return symbol->name;
  return DescribeIn(*image, value);
}

void InstallCrashHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    detail::g_imageSymbolName = ImageSymbolName;
    for (int i = 0; i < 3; ++i) {
      struct sigaction action {};
      action.sa_sigaction = OnImageFault;
      action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
      sigemptyset(&action.sa_mask);
      sigaction(kSignals[i], &action, &g_previous[i]);
    }
  });
}

// ---- the entry call --------------------------------------------------------------------
// One load at a time: the entry thunk reads the entry point from hosted_image_entry.
std::mutex g_loadMutex;

}  // namespace
}  // namespace hosted


asm(R"(
  .text
  .globl HostedImageEntryThunk
  .type HostedImageEntryThunk, @function
HostedImageEntryThunk:
  push %rdi
  push %rsi
  sub $0x28, %rsp
  movabs $0xDEAD5EC0DEAD5EC0, %rdi
  mov %rdi, %rsi
  call *hosted_image_entry(%rip)
  add $0x28, %rsp
  pop %rsi
  pop %rdi
  ret
  .size HostedImageEntryThunk, .-HostedImageEntryThunk
)");

namespace hosted {

const void* FindImageExport(std::string_view module, std::string_view name) {
  for (const ImageExport& entry : ImageExports()) {
    if (name == entry.name && SameModule(module, entry.module)) return entry.address;
  }
  return nullptr;
}

PDRIVER_OBJECT DriverImages::Load(const std::string& path, const LoadOptions& options, NTSTATUS* status, std::string* error) {
  NTSTATUS result = STATUS_SUCCESS;
  std::string why;
  PDRIVER_OBJECT driver = nullptr;
  // The pool's reports name the image's routines that allocate, as they do the hosted build's.
  SetCodeAddressNamer([](const void* address) { return DriverImages::Describe(address); });
  {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    auto image = std::make_shared<MappedImage>(path);
    std::optional<Refusal> refusal;
    if (!in && file.empty()) refusal = Refusal{STATUS_OBJECT_NAME_NOT_FOUND, "cannot read the file"};
    if (!refusal && !kPlatformSpeaksMicrosoftX64)
      refusal = Refusal{STATUS_INVALID_IMAGE_FORMAT,
                        "this build's kernel headers do not declare NTAPI as the Microsoft x64 convention, so image code "
                        "cannot call the platform"};
    if (!refusal) refusal = image->Map(file);
    if (refusal) {
      result = refusal->status;
      why = BaseName(path) + ": " + refusal->message;
    } else {
      InstallCrashHandler();
      LoadOptions load = options;
      load.image = image;
      std::lock_guard<std::mutex> lock(g_loadMutex);
      hosted_image_entry = image->Base() + image->EntryRva();
      driver = Drivers::Load(HostedImageEntryThunk, load, &result);
      hosted_image_entry = nullptr;
      if (driver == nullptr) why = BaseName(path) + ": the entry point failed with status " + Hex(static_cast<ULONG>(result));
    }
  }
  if (status != nullptr) *status = result;
  if (error != nullptr) *error = why;
  return driver;
}

bool DriverImages::Supported() { return kPlatformSpeaksMicrosoftX64; }

std::string DriverImages::Describe(const void* address) {
  const MappedImage* image = ImageContaining(reinterpret_cast<std::uint64_t>(address));
  return image == nullptr ? std::string() : DescribeIn(*image, reinterpret_cast<std::uint64_t>(address));
}

}  // namespace hosted
