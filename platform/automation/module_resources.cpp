// Finding a resource section in an ELF64 module file, with every offset checked against the
// file's size (the file may be anything).
#include "platform/automation/module_resources.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/automation/errorinfo.h"
#include "platform/automation/files.h"
#include "platform/automation/text.h"

namespace {
constexpr char16_t kSource[] = u"VANTO 组件运行库";
// Module files are small; a larger file is not read whole.
constexpr std::size_t kMaxImage = 256u << 20;

HRESULT BadFormat(std::string_view where, std::string_view why) {
  return RaiseError(HRESULT_BAD_EXE_FORMAT,
                    ToUtf16("文件 " + std::string(where) + " 不是有效的组件模块：" + std::string(why)), kSource);
}

// A view of `size` bytes at `offset`, or false when that lies outside the image.
bool Slice(std::string_view image, std::uint64_t offset, std::uint64_t size, std::string_view* out) {
  if (offset > image.size() || size > image.size() - offset) return false;
  *out = image.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
  return true;
}

template <class T>
bool ReadAt(std::string_view image, std::uint64_t offset, T* out) {
  std::string_view bytes;
  if (!Slice(image, offset, sizeof(T), &bytes)) return false;
  std::memcpy(out, bytes.data(), sizeof(T));
  return true;
}
}  // namespace

std::string ModuleResourceSection(std::string_view type, int number) {
  return ".vanto_rsrc." + std::string(type) + "." + std::to_string(number);
}

HRESULT ReadModuleResourceFromImage(std::string_view image, std::string_view where, std::string_view type,
                                    int number, std::string* data) {
  if (!data) return E_POINTER;
  data->clear();
  Elf64_Ehdr header;
  if (!ReadAt(image, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return BadFormat(where, "缺少 ELF 文件头");
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB)
    return BadFormat(where, "不是 64 位小端 ELF 文件");
  if (header.e_shoff == 0 || header.e_shentsize != sizeof(Elf64_Shdr))
    return BadFormat(where, "没有节表");

  std::uint64_t count = header.e_shnum;
  std::uint64_t namesIndex = header.e_shstrndx;
  Elf64_Shdr first;
  if (!ReadAt(image, header.e_shoff, &first)) return BadFormat(where, "节表越出文件");
  if (count == 0) count = first.sh_size;  // More sections than e_shnum can hold.
  if (namesIndex == SHN_XINDEX) namesIndex = first.sh_link;
  if (count == 0 || count > (image.size() - header.e_shoff) / sizeof(Elf64_Shdr))
    return BadFormat(where, "节表越出文件");
  if (namesIndex >= count) return BadFormat(where, "节名表编号无效");

  auto section = [&](std::uint64_t index, Elf64_Shdr* out) {
    return ReadAt(image, header.e_shoff + index * sizeof(Elf64_Shdr), out);
  };
  Elf64_Shdr namesHeader;
  std::string_view names;
  if (!section(namesIndex, &namesHeader) || namesHeader.sh_type == SHT_NOBITS ||
      !Slice(image, namesHeader.sh_offset, namesHeader.sh_size, &names))
    return BadFormat(where, "节名表越出文件");

  std::string wanted = ModuleResourceSection(type, number);
  for (std::uint64_t i = 1; i < count; ++i) {
    Elf64_Shdr entry;
    if (!section(i, &entry)) return BadFormat(where, "节表越出文件");
    if (entry.sh_name >= names.size()) continue;
    std::string_view name = names.substr(entry.sh_name);
    name = name.substr(0, name.find('\0'));
    if (name != wanted) continue;
    std::string_view contents;
    if (entry.sh_type == SHT_NOBITS) contents = {};
    else if (!Slice(image, entry.sh_offset, entry.sh_size, &contents))
      return BadFormat(where, "资源节 " + wanted + " 越出文件");
    while (!contents.empty() && contents.back() == '\0') contents.remove_suffix(1);
    data->assign(contents);
    return S_OK;
  }
  return RaiseError(HRESULT_RESOURCE_NOT_FOUND,
                    ToUtf16("组件模块 " + std::string(where) + " 中没有资源 " + std::string(type) + " " +
                            std::to_string(number)),
                    kSource);
}

HRESULT ReadModuleResource(const std::string& path, std::string_view type, int number, std::string* data) {
  if (!data) return E_POINTER;
  data->clear();
  std::string image;
  if (!ReadWholeFile(path, &image, kMaxImage)) {
    if (errno == EFBIG) return BadFormat(path, "文件过大");
    return RaiseError(HRESULT_FILE_NOT_FOUND, ToUtf16("无法读取文件 " + path + "：" + std::strerror(errno)), kSource);
  }
  return ReadModuleResourceFromImage(image, path, type, number, data);
}
