// Checks that a shown Velmoran message box has room for its whole text, for the
// screenshot script. It reads the text back from the box's text control and lays it out
// as that control draws it (word breaks, tabs expanded) in the font message boxes use,
// at the control's width: the text must need no more width and height than the control
// has. It prints "x y width height" of the control, in pixels from the box window's
// top-left corner, so that the script can also look for ink on the picture's edges of it.
// With "narrow", it first takes a tenth off the control's width, so that the text no
// longer fits: the screenshot script's proof, once the picture is taken, that this check
// sees a cut.
// Exit status: 0 the text fits, 1 it does not, 2 no box.
// Usage: velmoran_box_layout.exe [seconds to wait for the box] [narrow]
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The control identifier of a message box's text (a static control).
constexpr int kTextControl = 0xFFFF;
constexpr DWORD kPollMs = 50;
constexpr UINT kMessageTimeoutMs = 5000;
// How a static control of style SS_LEFT draws its text.
constexpr UINT kStaticLeftFormat = DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK;

// The control's text through WM_GETTEXT, which the system carries across processes.
std::string TextOf(HWND control) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutA(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &length)) {
    return {};
  }
  std::string text(length + 1, '\0');
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutA(control, WM_GETTEXT, text.size(),
                             reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             kMessageTimeoutMs, &copied)) {
    return {};
  }
  text.resize(copied);
  return text;
}

// The room `text` needs when drawn like the control at `width` pixels, in the font that
// message boxes take from the system's metrics.
SIZE NeededRoom(const std::string& text, LONG width) {
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof metrics;
  ::SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  HFONT font = ::CreateFontIndirectA(&metrics.lfMessageFont);
  HDC screen = ::GetDC(nullptr);
  HGDIOBJ previous = ::SelectObject(screen, font);
  RECT room{0, 0, width, 0};
  ::DrawTextA(screen, text.c_str(), static_cast<int>(text.size()), &room,
              kStaticLeftFormat | DT_CALCRECT);
  ::SelectObject(screen, previous);
  ::ReleaseDC(nullptr, screen);
  ::DeleteObject(font);
  return SIZE{room.right - room.left, room.bottom - room.top};
}

HWND FindShownBox() {
  HWND box = nullptr;
  while ((box = ::FindWindowExA(nullptr, box, "#32770", "Velmoran")) != nullptr) {
    if (::IsWindowVisible(box)) {
      return box;
    }
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const long waitSeconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10;
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(waitSeconds) * 1000U;
  HWND box = nullptr;
  while ((box = FindShownBox()) == nullptr && ::GetTickCount64() < deadline) {
    ::Sleep(kPollMs);
  }
  HWND text = box != nullptr ? ::GetDlgItem(box, kTextControl) : nullptr;
  RECT boxRect{};
  RECT textRect{};
  if (text != nullptr && argc > 2 && std::strcmp(argv[2], "narrow") == 0 &&
      ::GetWindowRect(text, &textRect)) {
    const LONG narrower = (textRect.right - textRect.left) * 9 / 10;
    ::SetWindowPos(text, nullptr, 0, 0, narrower, textRect.bottom - textRect.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (text == nullptr || !::GetWindowRect(box, &boxRect) || !::GetWindowRect(text, &textRect)) {
    std::fprintf(stderr, "no Velmoran box with a text control is shown\n");
    return 2;
  }
  const LONG width = textRect.right - textRect.left;
  const LONG height = textRect.bottom - textRect.top;
  std::printf("%ld %ld %ld %ld\n", textRect.left - boxRect.left, textRect.top - boxRect.top, width,
              height);
  const SIZE needed = NeededRoom(TextOf(text), width);
  std::fprintf(stderr, "the text needs %ldx%ld pixels, its control has %ldx%ld\n", needed.cx,
               needed.cy, width, height);
  return needed.cx > width || needed.cy > height ? 1 : 0;
}
