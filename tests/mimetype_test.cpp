// Attachment names, extensions and the type table.
#include "emailtestaccess.h"
#include "mimetypes.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

namespace {

const char* const octetStream = "application/octet-stream";

struct Row {
    std::string extension;
    std::string separator;
    std::string type;
};

Row splitRow(const std::string& row) {
    static const std::regex layout("(\\.[a-z0-9+$-]+)(, +)([^ ].*[^ ])");
    std::smatch m;
    if (!std::regex_match(row, m, layout)) {
        ADD_FAILURE() << "malformed row [" << row << "]";
        return {};
    }
    return {m[1], m[2], m[3]};
}

TEST(MimeTypeTable, RowsAreWellFormedAndOrdered) {
    ASSERT_EQ(mimeTypeRowCount, 437U);
    std::set<std::string> extensions;
    std::set<std::string> types;
    std::string previous;
    for (std::size_t i = 0; i < mimeTypeRowCount; ++i) {
        const Row row = splitRow(mimeTypeRows[i]);
        EXPECT_EQ(row.separator, row.extension == ".ttf" ? ",  " : ", ") << mimeTypeRows[i];
        const bool exception = previous == ".xpm" && row.extension == ".x-png";
        EXPECT_TRUE(previous <= row.extension || exception) << previous << " " << row.extension;
        previous = row.extension;
        extensions.insert(row.extension);
        types.insert(row.type);
    }
    EXPECT_EQ(extensions.size(), 434U);
    EXPECT_EQ(types.size(), 303U);
}

TEST(MimeTypeTable, EveryExtensionFindsItsFirstRow) {
    Email job;
    std::map<std::string, std::string> firstType;
    for (std::size_t i = 0; i < mimeTypeRowCount; ++i) {
        const Row row = splitRow(mimeTypeRows[i]);
        firstType.emplace(row.extension, row.type);
    }
    for (const auto& entry : firstType) {
        EXPECT_EQ(EmailTestAccess::extensionToMimeType(job, entry.first), entry.second);
    }
}

struct TypeCase {
    const char* extension;
    const char* type;
};

TEST(MimeTypeTable, LookupCases) {
    const TypeCase cases[] = {{".pdf", "application/pdf"},
                              {".jpg", "image/jpeg"},
                              {".gz", "application/x-gzip"},
                              {".ttf", "application/x-font-ttf"},
                              {".dxf", "application/dxf"},
                              {".svf", "image/x-dwg"},
                              {".p7c", "application/pkcs7-mime"},
                              {".p7m", "application/x-pkcs7-mime"},
                              {".wrl", "application/x-world"},
                              {".wrz", "model/vrml"},
                              {".pyc", "applicaiton/x-bytecode.python"},
                              {".py", "text/x-script.phyton"},
                              {".c++", "text/x-c"},
                              {".mc$", "application/x-magic-cap-package-1.0"},
                              {".x-png", "image/png"},
                              {".xpm", "image/x-xpixmap"},
                              {".3dm", "x-world/x-3dmf"},
                              {".zsh", "text/x-script.zsh"},
                              {".exe", octetStream},
                              {".JPG", octetStream},
                              {"", octetStream},
                              {".", octetStream},
                              {"pdf", octetStream},
                              {" .pdf", octetStream},
                              {".pdf ", octetStream},
                              {".pd", octetStream},
                              {".pdfx", octetStream}};
    Email job;
    for (const TypeCase& c : cases) {
        EXPECT_EQ(EmailTestAccess::extensionToMimeType(job, c.extension), c.type)
            << "[" << c.extension << "]";
    }
}

struct NameCase {
    const char* path;
    const char* name;
    const char* extension;
};

TEST(AttachmentName, NameAndExtensionFromThePath) {
    const NameCase cases[] = {{"/home/user/report.pdf", "report.pdf", ".pdf"},
                              {"C:\\docs\\photo.jpg", "photo.jpg", ".jpg"},
                              {"report.pdf", "report.pdf", ".pdf"},
                              {"a\\b/c.txt", "b/c.txt", ".txt"},
                              {"dir/", "", ""},
                              {"dir\\", "", ""},
                              {"archive.tar.gz", "archive.tar.gz", ".gz"},
                              {"file.", "file.", "."},
                              {"README", "README", ""},
                              {"/x/.profile", ".profile", ""},
                              {"..", "..", "."},
                              {"x", "x", ""},
                              {".", ".", ""},
                              {"PHOTO.JPG", "PHOTO.JPG", ".JPG"},
                              {"/a.b/c", "c", ""}};
    const Email job;
    for (const NameCase& c : cases) {
        const std::string name = EmailTestAccess::extractFile(job, c.path);
        EXPECT_EQ(name, c.name) << c.path;
        EXPECT_EQ(EmailTestAccess::getExtension(job, name), c.extension) << c.path;
    }
}

} // namespace
