#include "sldw/localized_messages.h"

#include <io.h>
#include <share.h>

#include <cstdio>
#include <new>
#include <vector>

#include "Public/error_model.h"
#include "Public/owners.h"
#include "Public/text_helpers.h"
#include "sldw/message_ids.h"

namespace qar {

// The image base of the module this code is linked into: the library itself in the shipped DLL.
extern "C" IMAGE_DOS_HEADER __ImageBase;

const LanguageFolder kLanguageFolders[] = {
    {L"zh-cn", 0x0804},
    {L"zh-tw", 0x0404},
    {L"en-us", 0x0409},
    {nullptr, 0},
};
const wchar_t* const kFallbackLanguageFolder = L"en-us";

namespace {

HMODULE ThisModule() {
    return reinterpret_cast<HMODULE>(&__ImageBase);
}

constexpr unsigned kStringsPerBlock = 16;
// Resource names are 16-bit: a larger block number would silently name another block.
constexpr unsigned kLastBlock = 0xFFFF;

// The string-table block (a resource name) that holds message `id`.
unsigned BlockOf(unsigned id) {
    return id / kStringsPerBlock + 1;
}

using UniqueFile = qar::UniqueAny<FILE*, qar::NullMeansNone<FILE*, fclose>>;

// What a printf conversion takes from the argument list. Conversions that read or write through an
// argument in ways a caller cannot anticipate (%n, %Z) have no kind: such a format is unsafe.
enum class ArgKind { Int32, Int64, Double, Pointer, WideString, NarrowString };

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The size prefix of a conversion (I64, I32, ll, I, h, l, w, L).
enum class Size { Default, Short, Long, LongLong, Wide, LongDouble };

// Reads a directive's width and precision at `at` (past its flags); each '*' takes an int argument.
// false for a positional argument ("%1$s"), which the runtime's wide formats do not take.
bool ReadWidthAndPrecision(const std::wstring& format, size_t& at, std::vector<ArgKind>& kinds) {
    const size_t n = format.size();
    for (bool precision : {false, true}) {
        if (precision) {
            if (at >= n || format[at] != L'.') return true;
            ++at;
        }
        if (at < n && format[at] == L'*') {
            kinds.push_back(ArgKind::Int32);
            ++at;
            continue;
        }
        while (at < n && IsDigit(format[at])) ++at;
        if (!precision && at < n && format[at] == L'$') return false;
    }
    return true;
}

// Reads the size prefix at `at`, if there is one.
Size ReadSize(const std::wstring& format, size_t& at) {
    static const std::pair<const wchar_t*, Size> kPrefixes[] = {
        {L"I64", Size::LongLong}, {L"I32", Size::Long},
        {L"ll", Size::LongLong},  {L"I", Size::LongLong},  // pointer-sized on x64
        {L"h", Size::Short},      {L"l", Size::Long},
        {L"w", Size::Wide},       {L"L", Size::LongDouble},
    };
    for (const auto& [prefix, size] : kPrefixes) {
        const size_t length = wcslen(prefix);
        if (format.compare(at, length, prefix) == 0) {
            at += length;
            return size;
        }
    }
    return Size::Default;
}

// What a conversion of `type` with `size` takes from the argument list; nullopt for %n, %Z, an
// unknown type or a size the type does not take.
std::optional<ArgKind> KindOf(wchar_t type, Size size) {
    switch (type) {
        case L'd':
        case L'i':
        case L'o':
        case L'u':
        case L'x':
        case L'X':
            if (size == Size::Wide || size == Size::LongDouble) return std::nullopt;
            return size == Size::LongLong ? ArgKind::Int64 : ArgKind::Int32;
        case L'c':
        case L'C':
            if (size == Size::LongLong || size == Size::LongDouble) return std::nullopt;
            return ArgKind::Int32;  // characters travel promoted to int
        case L'e':
        case L'E':
        case L'f':
        case L'g':
        case L'G':
        case L'a':
        case L'A':
            if (size == Size::Short || size == Size::LongLong || size == Size::Wide) return std::nullopt;
            return ArgKind::Double;  // long double is double in this runtime
        case L'p':
            if (size != Size::Default) return std::nullopt;
            return ArgKind::Pointer;
        case L's':
        case L'S': {
            if (size == Size::LongLong || size == Size::LongDouble) return std::nullopt;
            const bool wide =
                size == Size::Long || size == Size::Wide || (size == Size::Default && type == L's');
            return wide ? ArgKind::WideString : ArgKind::NarrowString;
        }
        default:
            return std::nullopt;
    }
}

// The argument kinds that `format` consumes, in order, read with the Microsoft runtime's rules for
// wide formats (%s and %c are wide, %S and %C narrow). nullopt when a directive is malformed or unsafe.
std::optional<std::vector<ArgKind>> ConversionKinds(const std::wstring& format) {
    std::vector<ArgKind> kinds;
    const size_t n = format.size();
    for (size_t i = 0; i < n;) {
        if (format[i++] != L'%') continue;
        if (i < n && format[i] == L'%') {
            ++i;
            continue;
        }
        while (i < n && wcschr(L"-+ #0", format[i]) != nullptr) ++i;
        if (!ReadWidthAndPrecision(format, i, kinds)) return std::nullopt;
        const Size size = ReadSize(format, i);
        if (i >= n) return std::nullopt;  // a cut directive
        const std::optional<ArgKind> kind = KindOf(format[i++], size);
        if (!kind) return std::nullopt;
        kinds.push_back(*kind);
    }
    return kinds;
}

}  // namespace

namespace detail {

std::optional<std::wstring> StringTableEntry(const void* block, size_t bytes, unsigned index) {
    if (block == nullptr || index >= kStringsPerBlock) return std::nullopt;
    const auto* data = static_cast<const unsigned char*>(block);
    const size_t units = bytes / 2;
    const auto unit = [data](size_t at) {
        return static_cast<wchar_t>(data[2 * at] | data[2 * at + 1] << 8);
    };
    size_t at = 0;
    for (unsigned skipped = 0; skipped < index; ++skipped) {
        if (at >= units) return std::nullopt;
        at += 1 + static_cast<size_t>(unit(at));
    }
    if (at >= units) return std::nullopt;
    const size_t count = unit(at);
    if (count > units - at - 1) return std::nullopt;  // the entry would run past the block
    std::wstring text(count, L'\0');
    for (size_t k = 0; k < count; ++k) text[k] = unit(at + 1 + k);
    return text;
}

std::optional<std::wstring> ModuleString(HMODULE module, unsigned id, bool exactLanguage, LANGID language) {
    const unsigned block = BlockOf(id);
    if (block > kLastBlock) return std::nullopt;
    const wchar_t* name = MAKEINTRESOURCEW(block);
    const HRSRC resource = exactLanguage ? FindResourceExW(module, RT_STRING, name, language)
                                         : FindResourceW(module, name, RT_STRING);
    if (resource == nullptr) return std::nullopt;
    // Resources live as long as their module; there is nothing to free.
    const void* data = LockResource(LoadResource(module, resource));
    if (data == nullptr) return std::nullopt;
    return StringTableEntry(data, SizeofResource(module, resource), id % kStringsPerBlock);
}

bool SameConversions(const std::wstring& candidate, const std::wstring& reference) {
    const auto candidateKinds = ConversionKinds(candidate);
    const auto referenceKinds = ConversionKinds(reference);
    return candidateKinds && referenceKinds && *candidateKinds == *referenceKinds;
}

std::wstring LoadLocalizedStringFrom(HMODULE host, LANGID hostLanguage, HMODULE library, unsigned id) {
    // The library's own text decides which arguments the callers pass, so an override must take the
    // same ones; an empty override (count 0) does not suppress the library's text.
    std::wstring own;
    try {
        own = ModuleString(library, id, false, 0).value_or(std::wstring());
    } catch (const std::bad_alloc&) {
        // Reported as the COM-style out-of-memory error, like the library's other string copies.
        throw QARBASE::HResultError(E_OUTOFMEMORY);
    }
    std::optional<std::wstring> override = ModuleString(host, id, true, hostLanguage);
    if (override && !override->empty() && SameConversions(*override, own)) return std::move(*override);
    return own;
}

std::vector<LANGID> StringTableLanguages(HMODULE module) {
    std::vector<LANGID> languages;
    const auto collect = [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) -> BOOL {
        reinterpret_cast<std::vector<LANGID>*>(list)->push_back(language);
        return TRUE;
    };
    EnumResourceLanguagesW(module, RT_STRING, MAKEINTRESOURCEW(BlockOf(IDS_START_FAILED)), collect,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

std::wstring LanguageXmlPathFor(const std::wstring& modulePath, LCID threadLocale, int cadType) {
    const std::wstring fileName = L"dd_" + DecimalText(cadType) + L".xml";
    const wchar_t* folder = kFallbackLanguageFolder;
    for (const LanguageFolder* entry = kLanguageFolders; entry->locale != 0; ++entry) {
        if (entry->locale == threadLocale) {
            folder = entry->folder;
            break;
        }
    }
    return BesideModule(modulePath, folder + (L"\\" + fileName));
}

std::wstring BesideModule(const std::wstring& modulePath, const std::wstring& name) {
    size_t separator = modulePath.rfind(L'\\');
    if (separator == std::wstring::npos) separator = modulePath.rfind(L'/');
    if (separator == std::wstring::npos) return name;
    return modulePath.substr(0, separator + 1) + name;
}

}  // namespace detail

std::wstring LoadLocalizedString(unsigned id) {
    return detail::LoadLocalizedStringFrom(nullptr, GetUserDefaultLangID(), ThisModule(), id);
}

std::wstring GetLastErrorText() {
    return SystemMessageText(GetLastError());
}

std::wstring PathBesideLibrary(const std::wstring& name) {
    const std::wstring modulePath = ModuleFileName(ThisModule());
    return modulePath.empty() ? std::wstring() : detail::BesideModule(modulePath, name);
}

std::wstring LanguageXmlPath(int cadType) {
    const std::wstring modulePath = ModuleFileName(ThisModule());
    if (modulePath.empty()) return std::wstring();
    return detail::LanguageXmlPathFor(modulePath, GetThreadLocale(), cadType);
}

void ReadUtf16File(const std::wstring& path, std::wstring& text) {
    const UniqueFile file(_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
    if (!file || fseek(file.Get(), 2, SEEK_SET) != 0) {  // past the byte-order mark, unchecked
        text.clear();
        return;
    }

    // Read straight into the result, sized from the file's length with a spare unit, so that a file
    // that keeps its size is read in one pass and in about its own size of memory. A file that grows
    // meanwhile is read on with a doubling buffer.
    const long long length = _filelengthi64(_fileno(file.Get()));
    const size_t expectedBytes = length > 2 ? static_cast<size_t>(length - 2) : 0;
    std::wstring units(expectedBytes / 2 + 2, L'\0');
    size_t filledBytes = 0;
    for (;;) {
        char* const bytes = reinterpret_cast<char*>(&units[0]);
        const size_t room = units.size() * sizeof(wchar_t) - filledBytes;
        const size_t got = fread(bytes + filledBytes, 1, room, file.Get());
        filledBytes += got;
        if (got < room) break;
        units.resize(units.size() * 2);
    }
    if (ferror(file.Get())) {
        text.clear();
        return;
    }
    // An odd byte at the end is the low byte of one more unit; the zero-filled buffer supplies its
    // high byte.
    units.resize((filledBytes + 1) / 2);
    const size_t end = units.find(L'\0');
    if (end != std::wstring::npos) units.resize(end);
    text.swap(units);
}

std::wstring LoadLanguageXml(int cadType) {
    std::wstring result;
    ReadUtf16File(LanguageXmlPath(cadType), result);
    return result;
}

}  // namespace qar
