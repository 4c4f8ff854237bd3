#include "writer/movie_file/segment_files.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

constexpr const char* MANIFEST_FIRST_LINE = "QelFFmpegWriter segment 1";

// One setting: its name in the manifest and its place in WriterSettings.
struct TextField {
    const char* name;
    const char* WriterSettings::*member;
};
struct IntField {
    const char* name;
    int32_t WriterSettings::*member;
};
struct BoolField {
    const char* name;
    bool WriterSettings::*member;
};
struct MasteringField {
    const char* name;
    int32_t MasteringChoice::*member;
};

constexpr TextField TEXT_FIELDS[] = {
    {"container", &WriterSettings::containerName},   {"video_encoder", &WriterSettings::videoCodecName},
    {"audio_encoder", &WriterSettings::audioCodecName}, {"video_profile", &WriterSettings::videoProfile},
    {"audio_profile", &WriterSettings::audioProfile},
};
constexpr IntField INT_FIELDS[] = {
    {"width", &WriterSettings::width},
    {"height", &WriterSettings::height},
    {"sample_rate", &WriterSettings::inSampleRate},
    {"channels", &WriterSettings::channels},
    {"audio_bit_rate", &WriterSettings::audioBitRate},
    {"in_sample_format", &WriterSettings::inSampleFormat},
    {"out_sample_format", &WriterSettings::outSampleFormat},
    {"video_bit_rate", &WriterSettings::videoBitRate},
    {"vbr", &WriterSettings::vbr},
    {"quality", &WriterSettings::quality},
    {"key_frame_interval", &WriterSettings::keyFrameInterval},
    {"in_pixel_format", &WriterSettings::inPixelFormat},
    {"out_pixel_format", &WriterSettings::outPixelFormat},
    {"field_order", &WriterSettings::fieldOrder},
    {"colour", &WriterSettings::colour},
};
constexpr BoolField BOOL_FIELDS[] = {
    {"stereo", &WriterSettings::stereo},
    {"faststart", &WriterSettings::fastStart},
    {"no_metadata", &WriterSettings::noMetadata},
};
constexpr MasteringField MASTERING_FIELDS[] = {
    {"mastering_primaries", &MasteringChoice::primaries},
    {"mastering_max", &MasteringChoice::maxLuminance},
    {"mastering_min", &MasteringChoice::minLuminance},
    {"max_cll", &MasteringChoice::maxContentLight},
    {"max_fall", &MasteringChoice::maxFrameAverageLight},
};

// Values stay on their line and keys end at their '=': control bytes, '%'
// and '=' are written as %XX.
std::string escaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == '%' || c == '=' || c == 0x7f) {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", c);
            out += code;
        } else {
            out += char(c);
        }
    }
    return out;
}

bool unescaped(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        char* end = nullptr;
        const std::string code = text.substr(i + 1, 2);
        const long value = std::strtol(code.c_str(), &end, 16);
        if (code.size() != 2 || *end) return false;
        out += char(value);
        i += 2;
    }
    return true;
}

bool whole_number(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0' && errno == 0;
}

void add_line(std::string& text, const char* key, const std::string& value) {
    text += key;
    text += '=';
    text += escaped(value);
    text += '\n';
}

}  // namespace

std::string segment_folder(const std::string& outputPath) { return outputPath + ".segments"; }

std::string segment_path(const std::string& outputPath, int64_t firstFrame) {
    char name[32];
    std::snprintf(name, sizeof name, "/%08" PRId64 ".%s", firstFrame, SEGMENT_CARRIER);
    return segment_folder(outputPath) + name;
}

std::string manifest_path(const std::string& segmentPath) {
    const size_t dot = segmentPath.rfind('.');
    const size_t slash = segmentPath.rfind('/');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? segmentPath.substr(0, dot) : segmentPath) + ".txt";
}

bool joins_segments(const char* containerName) {
    if (!containerName) return false;
    for (const char* name : {"mov", "mp4", "matroska", "mxf"})
        if (std::strcmp(containerName, name) == 0) return true;
    return false;
}

std::string settings_text(const WriterSettings& settings) {
    std::string text;
    for (const TextField& field : TEXT_FIELDS) {
        const char* value = settings.*field.member;
        if (value) add_line(text, field.name, value);
    }
    for (const IntField& field : INT_FIELDS) add_line(text, field.name, std::to_string(settings.*field.member));
    for (const BoolField& field : BOOL_FIELDS) add_line(text, field.name, settings.*field.member ? "1" : "0");
    for (const MasteringField& field : MASTERING_FIELDS)
        add_line(text, field.name, std::to_string(settings.mastering.*field.member));
    // Exactly: the frame rate decides every timestamp of the joined movie.
    char rate[40];
    std::snprintf(rate, sizeof rate, "%a", settings.frameRate);
    add_line(text, "frame_rate", rate);
    return text;
}

std::string SegmentManifest::text() const {
    std::string text = std::string(MANIFEST_FIRST_LINE) + "\n";
    add_line(text, "output", output);
    add_line(text, "first_frame", std::to_string(firstFrame));
    add_line(text, "frames", std::to_string(frames));
    add_line(text, "sound_bytes", std::to_string(soundBytes));
    add_line(text, "file_bytes", std::to_string(fileBytes));
    add_line(text, "timecode", timecode);
    for (const auto& [key, value] : metadata) add_line(text, "metadata", escaped(key) + "=" + value);
    return text + settings;
}

bool SegmentManifest::parse(const std::string& text, std::string& why) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != MANIFEST_FIRST_LINE) {
        why = "it is no segment manifest";
        return false;
    }
    settings.clear();
    metadata.clear();
    bool seen[4] = {};
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            why = "a line of it is cut short";
            return false;
        }
        const std::string key = line.substr(0, equals);
        std::string value;
        if (!unescaped(line.substr(equals + 1), value)) {
            why = "its " + key + " line is damaged";
            return false;
        }
        int64_t* number = key == "first_frame" ? &firstFrame
                          : key == "frames"     ? &frames
                          : key == "sound_bytes" ? &soundBytes
                          : key == "file_bytes"  ? &fileBytes
                                                 : nullptr;
        if (number) {
            if (!whole_number(value, *number) || *number < 0) {
                why = "its " + key + " is no number";
                return false;
            }
            seen[number == &firstFrame ? 0 : number == &frames ? 1 : number == &soundBytes ? 2 : 3] = true;
        } else if (key == "output") {
            output = value;
        } else if (key == "timecode") {
            timecode = value;
        } else if (key == "metadata") {
            const size_t split = value.find('=');
            std::string metaKey;
            if (split == std::string::npos || !unescaped(value.substr(0, split), metaKey)) {
                why = "its metadata line is damaged";
                return false;
            }
            metadata.emplace_back(metaKey, value.substr(split + 1));
        } else {
            settings += line + "\n";
        }
    }
    for (bool present : seen)
        if (!present) {
            why = "it is cut short";
            return false;
        }
    return true;
}

bool StoredSettings::parse(const SegmentManifest& manifest, std::string& why) {
    m_settings = WriterSettings{};
    m_texts.clear();
    m_metadata.clear();
    std::istringstream lines(manifest.settings);
    std::string line;
    bool rateSeen = false;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        std::string value;
        if (equals == std::string::npos || !unescaped(line.substr(equals + 1), value)) {
            why = "its settings are damaged";
            return false;
        }
        bool known = false;
        for (const TextField& field : TEXT_FIELDS)
            if (key == field.name) {
                m_texts.push_back(value);
                m_settings.*field.member = m_texts.back().c_str();
                known = true;
            }
        int64_t number = 0;
        const bool isNumber = whole_number(value, number) && number >= INT32_MIN && number <= INT32_MAX;
        for (const IntField& field : INT_FIELDS)
            if (key == field.name && isNumber) {
                m_settings.*field.member = int32_t(number);
                known = true;
            }
        for (const BoolField& field : BOOL_FIELDS)
            if (key == field.name && isNumber) {
                m_settings.*field.member = number != 0;
                known = true;
            }
        for (const MasteringField& field : MASTERING_FIELDS)
            if (key == field.name && isNumber) {
                m_settings.mastering.*field.member = int32_t(number);
                known = true;
            }
        if (key == "frame_rate") {
            char* end = nullptr;
            m_settings.frameRate = std::strtod(value.c_str(), &end);
            known = rateSeen = *end == '\0' && m_settings.frameRate > 0;
        }
        if (!known) {
            why = "its setting " + key + " is not one this writer knows";
            return false;
        }
    }
    if (!rateSeen || !m_settings.containerName) {
        why = "its settings are cut short";
        return false;
    }
    m_texts.push_back(manifest.timecode);
    m_settings.timecode = m_texts.back().c_str();
    for (const auto& [key, value] : manifest.metadata) {
        m_texts.push_back(key);
        const char* keyText = m_texts.back().c_str();
        m_texts.push_back(value);
        m_metadata.push_back({keyText, m_texts.back().c_str()});
    }
    m_settings.metadataPairs = m_metadata.empty() ? nullptr : m_metadata.data();
    m_settings.metadataCount = int32_t(m_metadata.size());
    return true;
}
