// The helper's two property lists, kept in sections of its executable where
// the installer reads them before it installs the file: the information list
// names the helper and the one application allowed to use it, the service
// list names the service the helper answers.

// Nothing refers to these arrays: the sections are found by name.
[[gnu::used, gnu::section(".uninstallhelper.info_plist")]] extern const char kEmbeddedInfoPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "\t<key>CFBundleIdentifier</key>\n"
    "\t<string>uninstallhelper</string>\n"
    "\t<key>CFBundleInfoDictionaryVersion</key>\n"
    "\t<string>6.0</string>\n"
    "\t<key>CFBundleName</key>\n"
    "\t<string>uninstallhelper</string>\n"
    "\t<key>CFBundleVersion</key>\n"
    "\t<string>1.0.0</string>\n"
    "\t<key>SMAuthorizedClients</key>\n"
    "\t<array>\n"
    "\t\t<string>anchor apple generic and identifier \"com.korvanelabs.lumetraworks.wirebridge.uninstaller\" "
    "and "
    "(certificate leaf[field.1.2.840.113635.100.6.1.9] or certificate 1[field.1.2.840.113635.100.6.2.6] and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] and certificate leaf[subject.OU] = "
    "K7Q2M9X4WB)</string>\n"
    "\t</array>\n"
    "</dict>\n"
    "</plist>\n";

[[gnu::used, gnu::section(".uninstallhelper.launchd_plist")]] extern const char kEmbeddedLaunchdPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "\t<key>Label</key>\n"
    "\t<string>uninstallhelper</string>\n"
    "\t<key>MachServices</key>\n"
    "\t<dict>\n"
    "\t\t<key>uninstallhelper</key>\n"
    "\t\t<true/>\n"
    "\t</dict>\n"
    "</dict>\n"
    "</plist>\n";
