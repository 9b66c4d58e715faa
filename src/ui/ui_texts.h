// Every text the window program shows, in one place. The Chinese texts are the program's own;
// the ones it adds for faults it guards against keep the same short style.
#pragma once

#include <string>

namespace text {
// Port control.
constexpr const char* kOpenComCaption = "Open Com";
constexpr const char* kPortOpenError = "串口打开错误";
constexpr const char* kPortTimeoutError = "串口超时设置错误";
constexpr const char* kOverlappedFailed = "overlapped failed!";
constexpr const char* kOpenPortLabel = "打开串口";
constexpr const char* kClosePortLabel = "关闭串口";
constexpr const char* kThreadCreateFailed = "线程创建失败!";

// Image choice.
constexpr const char* kImageFilter = "Bin File (*.bin)|*.bin|";
constexpr const char* kImageUnreadable = "文件不可读!";
constexpr const char* kImageEmpty = "文件为空, 不能升级!";
constexpr const char* kImageTooLarge = "文件太大, 不能升级!";
constexpr const char* kImageNotAFile = "不是普通文件, 不能升级!";
constexpr const char* kTransferBusy = "正在升级, 不能更换文件! 如需中止, 请先关闭串口.";

// Connection check and the head's answers.
constexpr const char* kConnectLabel = "连接云台";
constexpr const char* kConnectedLabel = "连接成功";
constexpr const char* kChecksumError = "校验错误";
constexpr const char* kUpgradeDone = "更新成功!";
constexpr const char* kUpgradeFailed = "更新失败!";
constexpr const char* kUpgradeTimedOut = "更新超时!";
// The head reported completion before the frame marked last had gone out.
constexpr const char* kUpgradeIncomplete = "云台提前应答, 更新未完成!";

// A transfer that ended under the operator's hands.
constexpr const char* kTransferPortClosed = "串口已关闭, 升级中断!";
constexpr const char* kTransferWriteFailed = "串口写入失败, 升级中断! 请检查串口后重新打开.";
constexpr const char* kTransferReadFailed = "文件读取错误, 升级中断!";
// Framing, parity or overrun errors reported by the port while a transfer ran.
constexpr const char* kTransferLineError = "串口线路错误, 升级中断! 请检查连线和波特率后重新打开.";
// The port went away while it was open and no transfer ran.
constexpr const char* kPortLost = "串口已断开! 请检查串口后重新打开.";
// A write on the window thread that the line held back (XOFF) past its time limit.
constexpr const char* kLineHeld = "串口发送超时, 线路被阻塞! 请检查云台连线和流控(XOFF)后重试.";
constexpr const char* kConfirmExitDuringTransfer = "正在升级, 确定要退出吗?";

// The upgrade-mode switch asked for on a raw TCP port (socket://), which cannot change the
// server's line speed: nothing is sent.
constexpr const char* kSwitchOnRawNetworkPort =
    "socket:// 网络端口不能切换波特率, 无法发送升级命令! 请改用 rfc2217:// 端口, "
    "或先使云台进入升级模式后直接点击连接云台.";

// Failures of the program itself, around its dialogs.
constexpr const char* kApplicationTitle = "云台升级软件";  // also the main window's caption
inline std::string WindowCreateFailed(int resourceId, const std::string& reason) {
    return "无法创建窗口（资源 " + std::to_string(resourceId) + "）：" + reason +
           "。\n程序文件可能已损坏，请重新安装。";
}
inline std::string InternalError(const std::string& what) {
    return "程序内部错误：" + what +
           "\n此窗口将关闭。请重新启动程序再试；若仍出错，请告知软件维护人员。";
}
inline std::string FileDialogFailed(unsigned long error) {
    return "无法打开文件选择窗口（错误 " + std::to_string(error) + "）。请再试一次。";
}
inline std::string ProgramCannotRun(const std::string& what) {
    return std::string(kApplicationTitle) + "无法运行：" + what +
           "\n请重新启动程序；若仍出错，请重新安装。";
}

// Device dialog.
constexpr const char* kAddressError = "输入地址错误!";
constexpr const char* kInitialAddress = "1";
constexpr const char* kProtocolNames[] = {"PELCO_P", "PELCO_D"};
}  // namespace text
