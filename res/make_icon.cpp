// Draws the application icon and writes it as an .ico file: one 32x32 image with the
// 16 standard Windows colours (4 bits per pixel), a gold padlock with a dark keyhole.
// The drawing is plain geometry, so the file comes out the same byte for byte on every
// run. Usage: make_icon <output.ico>
#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSize = 32;
constexpr int kTransparent = -1;

// The Windows 16-colour palette, by index.
enum Colour : int {
  Black = 0,
  Olive = 3,
  Silver = 7,
  Grey = 8,
  Yellow = 11,
  White = 15,
};
constexpr std::array<std::uint32_t, 16> kPalette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

// Colour indices by row and column, the top row first.
class Canvas {
 public:
  Canvas() { pixels_.fill(kTransparent); }
  [[nodiscard]] int At(int x, int y) const { return pixels_[Index(x, y)]; }
  void Set(int x, int y, int colour) { pixels_[Index(x, y)] = colour; }

 private:
  static std::size_t Index(int x, int y) { return static_cast<std::size_t>(y * kSize + x); }
  std::array<int, std::size_t{kSize} * kSize> pixels_{};
};

double Square(double v) { return v * v; }

Canvas Draw() {
  Canvas canvas;
  // The shackle: the upper half of a ring, then two straight legs into the body.
  const double cx = 15.5;
  const double cy = 12.0;
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const double d2 = Square(x - cx) + Square(y - cy);
      const bool ring = d2 <= Square(9.0) && d2 >= Square(5.5);
      const bool arc = ring && y <= cy;
      const bool leg = y > cy && y < 16 && ((x >= 7 && x <= 9) || (x >= 22 && x <= 24));
      if (arc || leg) {
        canvas.Set(x, y, x > cx ? Grey : Silver);
      }
    }
  }
  // The body, lit from the top left.
  for (int y = 15; y <= 29; ++y) {
    for (int x = 4; x <= 27; ++x) {
      const bool shade = y >= 27 || x >= 25;
      const bool light = y == 15 || x == 4;
      canvas.Set(x, y, light ? White : (shade ? Olive : Yellow));
    }
  }
  // The keyhole: a round head and a slot below it.
  for (int y = 18; y <= 26; ++y) {
    for (int x = 13; x <= 18; ++x) {
      const bool head = Square(x - cx) + Square(y - 20.5) <= Square(2.6);
      const bool slot = y > 20 && y <= 25 && x >= 15 && x <= 16;
      if (head || slot) {
        canvas.Set(x, y, Black);
      }
    }
  }
  // A black outline wherever the drawing meets the transparent background.
  Canvas outlined = canvas;
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      if (canvas.At(x, y) != kTransparent) {
        continue;
      }
      const std::array<std::array<int, 2>, 4> neighbours = {
          {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}}};
      for (const auto& n : neighbours) {
        if (n[0] >= 0 && n[0] < kSize && n[1] >= 0 && n[1] < kSize &&
            canvas.At(n[0], n[1]) != kTransparent) {
          outlined.Set(x, y, Black);
        }
      }
    }
  }
  return outlined;
}

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8U));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFFU);
  Put16(out, v >> 16U);
}

std::vector<std::uint8_t> Encode(const Canvas& canvas) {
  constexpr std::uint32_t kHeaderSize = 40;
  constexpr std::uint32_t kXorSize = kSize * kSize / 2;  // 4 bits a pixel
  constexpr std::uint32_t kAndSize = kSize * 4;          // 1 bit a pixel, rows of 4 bytes
  constexpr std::uint32_t kImageSize = kHeaderSize + 16 * 4 + kXorSize + kAndSize;
  std::vector<std::uint8_t> out;
  // The directory: one icon, one entry.
  Put16(out, 0);
  Put16(out, 1);
  Put16(out, 1);
  out.push_back(kSize);
  out.push_back(kSize);
  out.push_back(16);  // colours
  out.push_back(0);
  Put16(out, 1);  // planes
  Put16(out, 4);  // bits per pixel
  Put32(out, kImageSize);
  Put32(out, 6 + 16);  // the image follows the directory
  // The image: a bitmap header whose height counts both the colour and the mask rows.
  Put32(out, kHeaderSize);
  Put32(out, kSize);
  Put32(out, 2 * kSize);
  Put16(out, 1);
  Put16(out, 4);
  Put32(out, 0);  // uncompressed
  Put32(out, kXorSize + kAndSize);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 16);
  Put32(out, 0);
  for (const std::uint32_t rgb : kPalette) {
    out.push_back(static_cast<std::uint8_t>(rgb));
    out.push_back(static_cast<std::uint8_t>(rgb >> 8U));
    out.push_back(static_cast<std::uint8_t>(rgb >> 16U));
    out.push_back(0);
  }
  // Rows bottom up, as bitmaps store them; transparent pixels are black under the mask.
  for (int y = kSize - 1; y >= 0; --y) {
    for (int x = 0; x < kSize; x += 2) {
      const int left = canvas.At(x, y) == kTransparent ? 0 : canvas.At(x, y);
      const int right = canvas.At(x + 1, y) == kTransparent ? 0 : canvas.At(x + 1, y);
      out.push_back(static_cast<std::uint8_t>((left << 4) | right));
    }
  }
  for (int y = kSize - 1; y >= 0; --y) {
    for (int byte = 0; byte < 4; ++byte) {
      unsigned bits = 0;
      for (int bit = 0; bit < 8; ++bit) {
        if (canvas.At(byte * 8 + bit, y) == kTransparent) {
          bits |= 0x80U >> static_cast<unsigned>(bit);
        }
      }
      out.push_back(static_cast<std::uint8_t>(bits));
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_icon <output.ico>\n", stderr);
    return 2;
  }
  const std::vector<std::uint8_t> icon = Encode(Draw());
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(icon.data(), 1, icon.size(), file) == icon.size();
  return (std::fclose(file) == 0 && written) ? 0 : 1;
}
