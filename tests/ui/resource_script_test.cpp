// The resource script the .exe is built from, read as the headless backend reads it: every
// dialog, control, rectangle and text the operator sees.
#include <gtest/gtest.h>

#include "resource.h"
#include "resource_script.h"

namespace {
struct Rect {
    int id;
    int x, y, w, h;
};

void ExpectRects(const DialogTemplate& dialog, const std::vector<Rect>& rects) {
    for (const Rect& r : rects) {
        const ControlTemplate* control = dialog.FindControl(r.id);
        ASSERT_NE(control, nullptr) << "control " << r.id;
        EXPECT_EQ((std::vector<int>{control->x, control->y, control->width, control->height}),
                  (std::vector<int>{r.x, r.y, r.w, r.h}))
            << "control " << r.id;
    }
}

const ControlTemplate* FindText(const DialogTemplate& dialog, const std::string& text) {
    for (const auto& control : dialog.controls) {
        if (control.text == text) {
            return &control;
        }
    }
    return nullptr;
}
}  // namespace

TEST(ResourceScript, IsReadWholeWithoutErrors) {
    const ResourceScript& script = ProgramResources();
    EXPECT_TRUE(script.errors.empty()) << script.errors.front();
    EXPECT_EQ(script.dialogs.size(), 3U);
    EXPECT_EQ(script.strings.at(IDS_ABOUT_MENU), "关于 Kestrom(&A)...");
}

TEST(ResourceScript, MainWindowHasItsLayoutTextsAndStyles) {
    const DialogTemplate* main = ProgramResources().FindDialog(IDD_UPGRADE);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->caption, "云台升级软件");
    EXPECT_EQ(main->fontFace, "宋体");
    EXPECT_EQ(main->fontSize, 9);
    EXPECT_EQ((std::vector<int>{main->width, main->height}), (std::vector<int>{301, 183}));
    EXPECT_EQ(main->styles.find("WS_MINIMIZEBOX"), std::string::npos);
    EXPECT_EQ(main->styles.find("WS_MAXIMIZEBOX"), std::string::npos);
    EXPECT_NE(main->styles.find("WS_SYSMENU"), std::string::npos);
    EXPECT_NE(main->extendedStyles.find("WS_EX_APPWINDOW"), std::string::npos);
    ExpectRects(*main, {{IDC_COMBO_PORT, 81, 9, 64, 53},
                        {IDC_BTN_PORT, 81, 31, 65, 14},
                        {IDC_STATIC_NOTE, 189, 9, 83, 34},
                        {IDC_EDIT_PATH, 26, 61, 248, 14},
                        {IDC_BTN_SELECT, 44, 87, 50, 15},
                        {IDC_BTN_CONNECT, 120, 87, 50, 15},
                        {IDC_BTN_START, 197, 87, 50, 15},
                        {IDC_PROGRESS, 23, 125, 254, 14},
                        {IDC_GROUP_FILE, 24, 145, 253, 27},
                        {IDC_STATIC_TOTAL, 77, 156, 68, 12},
                        {IDC_STATIC_SENT, 191, 155, 68, 12}});
    const std::vector<std::pair<std::string, std::vector<int>>> labels = {
        {"选择串口:", {34, 11, 37, 9}},
        {"更新进度:", {27, 113, 40, 10}},
        {"需更新:", {37, 158, 31, 9}},
        {"已更新:", {153, 157, 29, 9}}};
    for (const auto& [text, rect] : labels) {
        const ControlTemplate* label = FindText(*main, text);
        ASSERT_NE(label, nullptr) << text;
        EXPECT_EQ((std::vector<int>{label->x, label->y, label->width, label->height}), rect);
    }
    EXPECT_EQ(main->FindControl(IDC_BTN_SELECT)->text, "选择文件");
    EXPECT_EQ(main->FindControl(IDC_BTN_START)->text, "开始升级");
    EXPECT_EQ(main->FindControl(IDC_BTN_CONNECT)->text, "连接云台");
    EXPECT_EQ(main->FindControl(IDC_BTN_PORT)->text, "打开串口");
    EXPECT_EQ(main->FindControl(IDC_GROUP_FILE)->text, "文件状态");
    EXPECT_EQ(main->FindControl(IDC_PROGRESS)->text, "Progress1");
    EXPECT_EQ(main->FindControl(IDC_PROGRESS)->kind, ControlKind::Progress);
    const std::string& note = main->FindControl(IDC_STATIC_NOTE)->text;
    EXPECT_EQ(note.rfind("----串口更新说明---- 波特率：115200", 0), 0U);
    EXPECT_NE(note.find("升级文件：*.bin"), std::string::npos);
    const std::string& portStyles = main->FindControl(IDC_COMBO_PORT)->styles;
    EXPECT_NE(portStyles.find("CBS_DROPDOWN"), std::string::npos);
    EXPECT_NE(portStyles.find("CBS_SORT"), std::string::npos);
    // A typed name longer than the field (rfc2217://10.0.0.5:4001) scrolls instead of stopping.
    EXPECT_NE(portStyles.find("CBS_AUTOHSCROLL"), std::string::npos);
    EXPECT_NE(main->FindControl(IDC_STATIC_TOTAL)->styles.find("SS_SUNKEN"), std::string::npos);
    EXPECT_NE(main->FindControl(IDC_STATIC_SENT)->styles.find("SS_SUNKEN"), std::string::npos);
}

TEST(ResourceScript, DeviceDialogAndAboutBoxHaveTheirLayouts) {
    const DialogTemplate* device = ProgramResources().FindDialog(IDD_DEVICE);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->caption, "选择设备");
    EXPECT_EQ(device->fontFace, "System");
    EXPECT_EQ(device->fontSize, 10);
    EXPECT_EQ((std::vector<int>{device->width, device->height}), (std::vector<int>{195, 100}));
    ExpectRects(*device, {{IDC_EDIT_ADDRESS, 60, 12, 54, 12},
                          {IDC_STATIC_PROTOCOL, 27, 30, 27, 8},
                          {IDC_COMBO_PROTOCOL, 60, 28, 55, 39},
                          {IDC_STATIC_SPEED, 28, 46, 25, 8},
                          {IDC_COMBO_SPEED, 60, 44, 55, 44},
                          {IDC_BTN_LAUNCH, 61, 72, 50, 14}});
    EXPECT_EQ(device->FindControl(IDC_BTN_LAUNCH)->text, "启动更新");
    EXPECT_EQ(device->FindControl(IDC_STATIC_PROTOCOL)->text, "协    议");
    EXPECT_EQ(device->FindControl(IDC_STATIC_SPEED)->text, "波特率");
    ASSERT_NE(FindText(*device, "地    址"), nullptr);
    ASSERT_NE(FindText(*device, "1--255"), nullptr);

    const DialogTemplate* about = ProgramResources().FindDialog(IDD_ABOUT);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->caption, "关于 Kestrom");
    EXPECT_EQ((std::vector<int>{about->width, about->height}), (std::vector<int>{235, 55}));
    ASSERT_NE(FindText(*about, "Kestrom 1.0 版"), nullptr);
    ASSERT_NE(about->FindControl(1), nullptr);
    EXPECT_EQ(about->FindControl(1)->text, "确定");
}

TEST(ResourceScript, ReaderResolvesNamesNumbersAndQuotes) {
    const auto script = ParseResourceScript(
        "7 DIALOGEX 0, 0, 10, 20\nCAPTION \"say \"\"hi\"\"\"\nBEGIN\n"
        "PUSHBUTTON \"a,b\",ID_X,1,2,3,4,WS_DISABLED\n"
        "CONTROL \"\",0x20,\"msctls_progress32\",NOT WS_VISIBLE,5,6,7,8\n"
        "BOGUS 1,2\nEND\n",
        "#define ID_X 42\n");
    ASSERT_EQ(script.dialogs.size(), 1U);
    const DialogTemplate& dialog = script.dialogs[0];
    EXPECT_EQ(dialog.caption, "say \"hi\"");
    ASSERT_NE(dialog.FindControl(42), nullptr);
    EXPECT_EQ(dialog.FindControl(42)->text, "a,b");
    EXPECT_TRUE(dialog.FindControl(42)->disabled);
    ASSERT_NE(dialog.FindControl(0x20), nullptr);
    EXPECT_FALSE(dialog.FindControl(0x20)->visible);
    EXPECT_EQ(script.errors, (std::vector<std::string>{"BOGUS 1,2"}));
}
