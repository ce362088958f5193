// WriteText where terminals take UTF-8: the bytes as they are.
#include "common/text_encoding.h"

namespace zol::tools {

void WriteText(std::FILE* stream, std::string_view utf8) {
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
}

}  // namespace zol::tools
