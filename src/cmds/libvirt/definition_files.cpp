#include "cmds/libvirt/definition_files.hpp"

#include <cerrno>
#include <cstring>

#include "utils/fs.hpp"
#include "utils/paths.hpp"
#include "utils/xml.hpp"

namespace qm {

std::string network_definition_xml(std::string_view name, std::string_view bridge) {
    return "<network>\n  <name>" + xml_escape(name) + "</name>\n  <forward mode='bridge'/>\n  <bridge name='" +
           xml_escape(bridge) + "'/>\n</network>";
}

std::string interface_definition_xml(std::string_view network) {
    return "<interface type='network'>\n  <source network='" + xml_escape(network) +
           "'/>\n  <model type='virtio'/>\n</interface>";
}

std::string interface_removal_xml(std::string_view network, std::string_view mac) {
    return "<interface type='network'>\n  <mac address='" + xml_escape(mac) + "'/>\n  <source network='" +
           xml_escape(network) + "'/>\n</interface>";
}

namespace {

// 0 or the errno of the failure; a partly written file is removed.
int create_private_file(const std::filesystem::path& path, std::string_view content) {
    auto made = create_new_file(path, content, 0600);
    return made ? 0 : made.error().code;
}

// The stem as one file-name component, short enough to leave room for the suffix.
std::string file_stem(std::string_view stem) {
    constexpr std::size_t kMaxStem = 200;
    std::string s(stem);
    for (char& c : s)
        if (c == '/') c = '_';
    if (s.size() > kMaxStem) {
        std::size_t cut = kMaxStem;
        // Do not split a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
        s.resize(cut);
    }
    return s;
}

}  // namespace

Status write_new_private_file(const std::filesystem::path& path, std::string_view content) {
    if (int error = create_private_file(path, content); error != 0) return fail(std::strerror(error));
    return {};
}

Result<std::filesystem::path> write_temp_xml(const Context& ctx, std::string_view stem, std::string_view content) {
    // A private file of a fresh name; once it is written, the files that killed runs of the same
    // stem left behind go.
    auto file = write_own_temporary(ctx.path(kTempDir), file_stem(stem) + ".", ".xml", content, 0600);
    if (!file) return fail(std::strerror(file.error().code));
    return std::move(*file);
}

}  // namespace qm
