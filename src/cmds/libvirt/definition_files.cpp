#include "cmds/libvirt/definition_files.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "utils/fs.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"
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

// FNV-1a: stands for the part of a long stem that is cut off.
std::string hash_hex(std::string_view text) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return hex16(h);
}

}  // namespace

Status write_new_private_file(const std::filesystem::path& path, std::string_view content) {
    if (int error = create_private_file(path, content); error != 0) return fail(std::strerror(error));
    return {};
}

std::string definition_file_stem(std::string_view command, std::initializer_list<std::string_view> arguments) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    auto encode = [&](std::string& out, std::string_view text) {
        for (unsigned char c : text) {
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
                out += static_cast<char>(c);
            } else {
                out += '%';
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            }
        }
    };
    std::string stem;
    encode(stem, command);
    for (auto argument : arguments) {
        stem += '_';
        encode(stem, argument);
    }
    // A file name holds 255 bytes; the stem leaves room for "." + 16 random digits + ".xml".
    constexpr std::size_t kMaxStem = 200;
    if (stem.size() > kMaxStem) stem = stem.substr(0, kMaxStem - 17) + "~" + hash_hex(stem);
    return stem;
}

Result<HeldFile> write_temp_xml(const Context& ctx, const std::string& stem, std::string_view content) {
    // A private file of a fresh name; once it is written, the files that killed runs of the same
    // stem left behind go.
    auto file = write_own_temporary(ctx.path(kTempDir), stem + ".", ".xml", content, 0600);
    if (!file) return fail(std::strerror(file.error().code));
    return std::move(*file);
}

}  // namespace qm
