// Reads the dialog templates of the driver's resource script (resources/config_dialog.rc): the
// dialog's placement, style, caption and font, and each control in template order. The script
// states every control in the generic form
//     CONTROL "text", id, "class", STYLE | STYLE ..., x, y, width, height
// (a number instead of the quoted text names a resource, as for the picture).
#pragma once

#include <string>
#include <vector>

namespace dialogtest {

struct TemplateControl {
    std::string text;  // Windows-1252 bytes as in the script
    int id = 0;
    std::string className;
    std::vector<std::string> styles;  // symbolic style names
    int x = 0, y = 0, width = 0, height = 0;

    bool HasStyle(const std::string& style) const;
};

struct DialogTemplate {
    int number = 0;
    int x = 0, y = 0, width = 0, height = 0;
    std::vector<std::string> styles;
    std::string caption;
    std::string font;  // "8, \"MS Sans Serif\""
    std::vector<TemplateControl> controls;

    bool HasStyle(const std::string& style) const;
    // The control with this identifier; null when there is none.
    const TemplateControl* Find(int id) const;
};

// Every DIALOG of the script; a malformed line makes the returned error text non-empty.
std::vector<DialogTemplate> ReadDialogTemplates(const std::string& path, std::string* error);
// The template with this number out of the driver's script (VEXLOR_RESOURCE_DIR); fails the
// current test when it cannot be read.
const DialogTemplate& DriverTemplate(int number);
// The script's raw bytes.
std::string ReadScript(const std::string& path);
std::string ResourcePath(const std::string& name);

}  // namespace dialogtest
