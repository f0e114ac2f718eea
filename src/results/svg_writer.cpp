// The SVG writer of the plot command: builds each document as one string (a plot holds at
// most a few thousand marks) and writes it whole.
#include "results/svg_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace karvo::svg {

namespace {

// Pixel coordinates in attributes: two decimals are finer than any screen.
std::string px(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  std::string text = buffer;
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  if (text == "-0") text = "0";
  return text;
}

std::string classAttribute(const char* cssClass) {
  if (!cssClass || !*cssClass) return "";
  return std::string(" class=\"") + escapeText(cssClass) + "\"";
}

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one.
std::size_t utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string escapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (c < 0x20 && c != '\t' && c != '\n') {
          out += ' ';
        } else if (c < 0x80) {
          out += static_cast<char>(c);
        } else if (const std::size_t length = utf8Length(text, i)) {
          out.append(text.substr(i, length));
          i += length - 1;
        } else {
          out += '?';  // a byte of no UTF-8 character would make the file unreadable
        }
    }
  }
  return out;
}

std::vector<double> niceTicks(double lo, double hi, int count) {
  if (!std::isfinite(lo) || !std::isfinite(hi)) return {0.0, 1.0};
  if (lo > hi) std::swap(lo, hi);
  count = std::max(count, 2);
  const double magnitude = std::max(std::fabs(lo), std::fabs(hi));
  if (hi - lo <= magnitude * 1e-12) {
    const double unit = magnitude > 0.0 ? std::pow(10.0, std::floor(std::log10(magnitude))) : 1.0;
    lo -= unit;
    hi += unit;
  }
  const double rough = (hi - lo) / count;
  const int power = static_cast<int>(std::floor(std::log10(rough)));
  const double scale = std::pow(10.0, power);
  const double fraction = rough / scale;
  const double nice = fraction <= 1.0 + 1e-9 ? 1.0
                      : fraction <= 2.0 + 1e-9 ? 2.0
                      : fraction <= 5.0 + 1e-9 ? 5.0
                                                 : 10.0;
  const double step = nice * scale;
  const double first = std::floor(lo / step + 1e-9);
  const double last = std::ceil(hi / step - 1e-9);
  // k * nice is an exact integer; dividing it by an exact power of ten gives the double
  // nearest the decimal value (0.6, not 0.6000000000000001).
  const double inverse = power < 0 ? std::pow(10.0, -power) : 0.0;
  std::vector<double> ticks;
  for (double k = first; k <= last + 0.5; k += 1.0) {
    const double value = power < 0 ? (k * nice) / inverse : k * nice * scale;
    ticks.push_back(value == 0.0 ? 0.0 : value);
  }
  return ticks;
}

std::string tickLabel(double value, double step) {
  step = std::fabs(step);
  if (step > 0.0 && std::fabs(value) < step * 1e-9) value = 0.0;
  char buffer[64];
  if (std::fabs(value) >= 1e6 || (step > 0.0 && step < 1e-4)) {
    std::snprintf(buffer, sizeof buffer, "%.6g", value);
  } else {
    int decimals = 0;
    if (step > 0.0 && step < 1.0) {
      decimals = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    }
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  }
  std::string text = buffer;
  if (text[0] == '-' && text.find_first_of("123456789") == std::string::npos) text.erase(0, 1);
  return text;
}

Document makeDocument(double width, double height) { return Document{width, height, ""}; }

std::string documentText(const Document& document) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  text += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + px(document.width) +
          "\" height=\"" + px(document.height) + "\" viewBox=\"0 0 " + px(document.width) + " " +
          px(document.height) + "\" font-family=\"sans-serif\">\n";
  text += "<rect x=\"0\" y=\"0\" width=\"" + px(document.width) + "\" height=\"" +
          px(document.height) + "\" fill=\"white\"/>\n";
  text += document.body;
  text += "</svg>\n";
  return text;
}

Frame makeFrame(double left, double top, double width, double height, double xLo, double xHi,
                double yLo, double yHi, int xCount, int yCount) {
  Frame frame;
  frame.left = left;
  frame.top = top;
  frame.width = width;
  frame.height = height;
  frame.xTicks = niceTicks(xLo, xHi, xCount);
  frame.yTicks = niceTicks(yLo, yHi, yCount);
  frame.xMin = frame.xTicks.front();
  frame.xMax = frame.xTicks.back();
  frame.yMin = frame.yTicks.front();
  frame.yMax = frame.yTicks.back();
  return frame;
}

double frameX(const Frame& frame, double x) {
  return frame.left + (x - frame.xMin) / (frame.xMax - frame.xMin) * frame.width;
}

double frameY(const Frame& frame, double y) {
  return frame.top + frame.height - (y - frame.yMin) / (frame.yMax - frame.yMin) * frame.height;
}

void drawAxes(Document& document, const Frame& frame, const std::string& xName,
              const std::string& yName) {
  const double bottom = frame.top + frame.height;
  const double right = frame.left + frame.width;
  const double xStep = frame.xTicks.size() > 1 ? frame.xTicks[1] - frame.xTicks[0] : 1.0;
  const double yStep = frame.yTicks.size() > 1 ? frame.yTicks[1] - frame.yTicks[0] : 1.0;
  for (std::size_t i = 0; i < frame.xTicks.size(); ++i) {
    const double x = frameX(frame, frame.xTicks[i]);
    if (x < frame.left - 0.5 || x > right + 0.5) continue;
    drawLine(document, x, frame.top, x, bottom, "#e6e6e6");
    drawLine(document, x, bottom, x, bottom + 5, "black");
    const std::string label = i < frame.xTickLabels.size() ? frame.xTickLabels[i]
                                                           : tickLabel(frame.xTicks[i], xStep);
    drawText(document, x, bottom + 18, label, "middle", 11);
  }
  for (double tick : frame.yTicks) {
    const double y = frameY(frame, tick);
    if (y < frame.top - 0.5 || y > bottom + 0.5) continue;
    drawLine(document, frame.left, y, right, y, "#e6e6e6");
    drawLine(document, frame.left - 5, y, frame.left, y, "black");
    if (frame.yTickLabels) drawText(document, frame.left - 8, y + 4, tickLabel(tick, yStep), "end", 11);
  }
  drawRect(document, frame.left, frame.top, frame.width, frame.height, "none", "black");
  if (!xName.empty()) drawText(document, frame.left + frame.width / 2, bottom + 40, xName);
  if (!yName.empty()) {
    drawText(document, frame.left - 55, frame.top + frame.height / 2, yName, "middle", 12, -90);
  }
}

void drawText(Document& document, double x, double y, std::string_view text, const char* anchor,
              double size, double rotate, const char* weight) {
  std::string& body = document.body;
  body += "<text x=\"" + px(x) + "\" y=\"" + px(y) + "\" font-size=\"" + px(size) +
          "\" text-anchor=\"" + anchor + "\"";
  if (std::string_view(weight) != "normal") body += std::string(" font-weight=\"") + weight + "\"";
  if (rotate != 0.0) {
    body += " transform=\"rotate(" + px(rotate) + " " + px(x) + " " + px(y) + ")\"";
  }
  body += ">" + escapeText(text) + "</text>\n";
}

void drawLine(Document& document, double x1, double y1, double x2, double y2, const char* stroke,
              double width, const char* dash) {
  std::string& body = document.body;
  body += "<line x1=\"" + px(x1) + "\" y1=\"" + px(y1) + "\" x2=\"" + px(x2) + "\" y2=\"" +
          px(y2) + "\" stroke=\"" + stroke + "\" stroke-width=\"" + px(width) + "\"";
  if (dash) body += std::string(" stroke-dasharray=\"") + dash + "\"";
  body += "/>\n";
}

void drawPolyline(Document& document, const std::vector<double>& xs,
                  const std::vector<double>& ys, const char* stroke, double width,
                  const char* cssClass) {
  const std::size_t n = std::min(xs.size(), ys.size());
  if (n < 2) return;
  std::string& body = document.body;
  body += "<polyline" + classAttribute(cssClass) + " fill=\"none\" stroke=\"" + stroke +
          "\" stroke-width=\"" + px(width) + "\" points=\"";
  for (std::size_t i = 0; i < n; ++i) {
    if (i) body += ' ';
    body += px(xs[i]) + "," + px(ys[i]);
  }
  body += "\"/>\n";
}

void drawCircle(Document& document, double x, double y, double radius, const char* fill,
                const char* stroke, double opacity, const char* cssClass) {
  std::string& body = document.body;
  body += "<circle" + classAttribute(cssClass) + " cx=\"" + px(x) + "\" cy=\"" + px(y) +
          "\" r=\"" + px(radius) + "\" fill=\"" + fill + "\" stroke=\"" + stroke + "\"";
  if (opacity < 1.0) body += " opacity=\"" + px(opacity) + "\"";
  body += "/>\n";
}

void drawCross(Document& document, double x, double y, double size, const char* stroke,
               const char* cssClass) {
  document.body += "<path" + classAttribute(cssClass) + " d=\"M" + px(x - size) + " " +
                   px(y - size) + " L" + px(x + size) + " " + px(y + size) + " M" +
                   px(x - size) + " " + px(y + size) + " L" + px(x + size) + " " +
                   px(y - size) + "\" stroke=\"" + stroke + "\" stroke-width=\"1.5\" fill=\"none\"/>\n";
}

void drawRect(Document& document, double x, double y, double width, double height,
              const char* fill, const char* stroke, const char* cssClass,
              std::string_view tooltip) {
  document.body += "<rect" + classAttribute(cssClass) + " x=\"" + px(x) + "\" y=\"" + px(y) +
                   "\" width=\"" + px(std::max(width, 0.0)) + "\" height=\"" +
                   px(std::max(height, 0.0)) + "\" fill=\"" + fill + "\" stroke=\"" + stroke + "\"";
  if (tooltip.empty()) {
    document.body += "/>\n";
  } else {
    document.body += "><title>" + escapeText(tooltip) + "</title></rect>\n";
  }
}

bool writeTextFile(const std::string& path, const std::string& text, std::string& error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (out) out.close();
  if (!out) {
    error = "the file " + path + " cannot be written";
    return false;
  }
  return true;
}

}  // namespace karvo::svg
