#include "elf_symbols.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace audioserver {
namespace {

constexpr size_t kMaxFileBytes = 256u << 20;

template <class T>
bool readAt(const std::string& file, size_t offset, T& out) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, file.data() + offset, sizeof(T));
    return true;
}

}  // namespace

std::optional<std::vector<std::string>> exportedFunctions(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    in.seekg(0, std::ios::end);
    const auto length = in.tellg();
    if (length <= 0 || static_cast<size_t>(length) > kMaxFileBytes) return std::nullopt;
    in.seekg(0);
    std::string file(static_cast<size_t>(length), '\0');
    if (!in.read(file.data(), length)) return std::nullopt;

    Elf64_Ehdr eh{};
    if (!readAt(file, 0, eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB ||
        eh.e_shentsize != sizeof(Elf64_Shdr)) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh{};
        if (!readAt(file, eh.e_shoff + i * sizeof(Elf64_Shdr), sh)) return std::nullopt;
        if (sh.sh_type != SHT_DYNSYM) continue;
        Elf64_Shdr strtab{};
        if (sh.sh_link >= eh.e_shnum ||
            !readAt(file, eh.e_shoff + sh.sh_link * sizeof(Elf64_Shdr), strtab) ||
            strtab.sh_offset > file.size() || file.size() - strtab.sh_offset < strtab.sh_size ||
            sh.sh_entsize != sizeof(Elf64_Sym)) {
            return std::nullopt;
        }
        const size_t count = sh.sh_size / sizeof(Elf64_Sym);
        for (size_t k = 1; k < count; ++k) {
            Elf64_Sym sym{};
            if (!readAt(file, sh.sh_offset + k * sizeof(Elf64_Sym), sym)) return std::nullopt;
            const unsigned bind = ELF64_ST_BIND(sym.st_info);
            const unsigned visibility = ELF64_ST_VISIBILITY(sym.st_other);
            if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_shndx == SHN_UNDEF ||
                (bind != STB_GLOBAL && bind != STB_WEAK) ||
                (visibility != STV_DEFAULT && visibility != STV_PROTECTED) ||
                sym.st_name >= strtab.sh_size) {
                continue;
            }
            const char* start = file.data() + strtab.sh_offset + sym.st_name;
            const size_t room = strtab.sh_size - sym.st_name;
            names.emplace_back(start, strnlen(start, room));
        }
    }
    return names;
}

std::optional<std::string> findFactorySymbol(const std::vector<std::string>& exported) {
    static constexpr std::string_view kSuffix = "_Create";
    const std::string* found = nullptr;
    for (const std::string& name : exported) {
        if (name.size() <= kSuffix.size() ||
            name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
            continue;
        }
        if (found != nullptr) return std::nullopt;  // ambiguous
        found = &name;
    }
    if (found == nullptr) return std::nullopt;
    return *found;
}

}  // namespace audioserver
