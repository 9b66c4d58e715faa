// A window that only takes what is posted to it: all a receive worker needs. Tests derive from it
// and implement Post; every other window operation does nothing.
#pragma once

#include <cstdint>
#include <string>

#include "window_surface.h"

class PostOnlyWindow : public IWindowSurface {
  public:
    void SetItemText(int, const std::string&) override {}
    void EnableItem(int, bool) override {}
    void ShowItem(int, bool) override {}
    void SetProgressRange(int, std::int32_t, std::int32_t) override {}
    void SetProgressPos(int, std::int32_t) override {}
    void SetTaskbarProgress(TaskbarProgress, std::int64_t, std::int64_t) override {}
    void InsertListItem(int, int, const std::string&) override {}
    void SetListSelection(int, int) override {}
    int GetListSelection(int) override { return -1; }
    std::string GetListText(int, int) override { return {}; }
    int MessageBox(const std::string&, const std::string&, unsigned) override { return win::kIdOk; }
    std::intptr_t Send(unsigned, std::uintptr_t, std::intptr_t) override { return 0; }
};
