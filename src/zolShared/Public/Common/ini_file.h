#pragma once
// The in-memory form of an INI settings file: read whole, changed, written back whole. Sections
// hold their lines in file order; a key line is "key=value" with both sides trimmed. Section and
// key names are compared without regard to ASCII case. Comment lines and other lines inside a
// section are kept in place; lines before the first section are kept at the top; empty lines
// are dropped and one is written after each section. A section without key lines is left out
// when the file is written. The text is bytes as the file holds them (the system code page);
// a leading UTF-8 byte-order mark is kept, marks at the start of other lines are dropped. A file
// that begins with a UTF-16 byte-order mark (the system's profile functions read and write those)
// is held as UTF-8 text and written back as UTF-16 in its byte order, mark first.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zol::common {

// How a file holds its text.
enum class IniTextForm : std::uint8_t {
    kCodePage,  // bytes in the system code page
    kUtf16Le,   // UTF-16 after the mark FF FE
    kUtf16Be,   // UTF-16 after the mark FE FF
};

class IniDocument {
   public:
    struct Line {
        std::string text;
        bool is_entry = false;  // a key line
        std::string key;        // trimmed, for key lines
        // The trimmed value of a key line, inside `text`: a settings value may be kilobytes long,
        // and a second copy of it for every load is a large block made and freed each time.
        std::string_view Value() const {
            return std::string_view(text).substr(value_at, value_size);
        }
        std::size_t value_at = 0;
        std::size_t value_size = 0;
    };
    struct Section {
        std::string name;
        std::vector<Line> lines;
    };

    // Never fails: every byte sequence is some document.
    static IniDocument Parse(std::string_view bytes);
    // The file text: CR LF line ends, in the form the file was read in.
    std::string Serialize() const;
    // Names and values are UTF-8 for a UTF-16 file, system code page bytes otherwise.
    IniTextForm TextForm() const noexcept { return text_form_; }

    // The value of the first line with this key in the section; nothing when there is none. The
    // text stays the document's: valid until the document changes or ends.
    std::optional<std::string_view> Read(std::string_view section, std::string_view key) const;
    // Sets the key's value: the first line with this key is replaced in place (keeping the
    // key's spelling) when its text differs; a new key goes to the end of its section, a new
    // section to the end of the file.
    void Write(std::string_view section, std::string_view key, std::string_view value);
    // Removes every line with this key from the section.
    void Remove(std::string_view section, std::string_view key);

    // True once a Write or Remove changed the text.
    bool Changed() const noexcept { return changed_; }
    const std::vector<Section>& Sections() const noexcept { return sections_; }
    const std::vector<std::string>& Preamble() const noexcept { return preamble_; }

   private:
    Section* FindSection(std::string_view name);
    const Section* FindSection(std::string_view name) const;

    IniTextForm text_form_ = IniTextForm::kCodePage;
    bool byte_order_mark_ = false;  // UTF-8, in a code page file
    bool changed_ = false;
    std::vector<std::string> preamble_;
    std::vector<Section> sections_;
};

// A settings file's values read where they stand in its text, without a document: a load reads
// a few values, and a copy of every line at each load is needless churn of the heap in a process
// that runs for months. Its answers are the document's.
class IniText {
   public:
    // Takes the file's bytes (in any of the forms a document reads).
    explicit IniText(std::string bytes);
    IniText(const IniText&) = delete;  // the text is viewed where it stands
    IniText& operator=(const IniText&) = delete;

    IniTextForm TextForm() const noexcept { return text_form_; }
    // As IniDocument::Read; the text stays this object's.
    std::optional<std::string_view> Read(std::string_view section, std::string_view key) const;

   private:
    IniTextForm text_form_ = IniTextForm::kCodePage;
    std::string bytes_;
    std::string utf8_;       // the text of a UTF-16 file
    std::string_view text_;  // the lines, in `bytes_` or `utf8_`
};

}  // namespace zol::common
