// A small SVG writer for the plots of results: a document of fixed size in pixels, plot frames
// that map data values to pixels, axes with round-numbered ticks, and the few marks the plots
// use (lines, polylines, circles, crosses, rectangles, text). Text is written as <text>
// elements with its XML characters escaped, so that every document is well-formed XML and
// its words stay selectable in a browser.
//
// Use: make a document, lay out one or more frames (svgFrame) with their data ranges, draw
// the axes (svgAxes) and the marks, then svgDocumentText gives the file's text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace karvo::svg {

// `text` with &, <, >, " and ' replaced by their XML entities; bytes below 0x20 other than
// tab and newline (which XML 1.0 does not allow) become spaces.
std::string escapeText(std::string_view text);

// Round tick values covering [lo, hi]: a step of 1, 2 or 5 times a power of ten chosen so
// that there are about `count` (>= 2) intervals, the first tick at or below lo and the last
// at or above hi, both multiples of the step. lo > hi is taken swapped; lo == hi (or a range
// too small to tell from lo) is widened to a unit of lo's magnitude around it. Non-finite
// input gives {0, 1}.
std::vector<double> niceTicks(double lo, double hi, int count = 5);

// The label of tick `value` on an axis with tick step `step`: fixed notation with as many
// decimals as the step needs (none for a step >= 1), exponent notation for values of
// magnitude 1e6 and more or steps below 1e-4; never "-0".
std::string tickLabel(double value, double step);

struct Document {
  double width = 0.0;   // pixels, > 0
  double height = 0.0;  // pixels, > 0
  std::string body;     // the elements written so far
};

Document makeDocument(double width, double height);

// The whole text of the file: the XML declaration, the <svg> element with its size and
// viewBox, a white background, the body.
std::string documentText(const Document& document);

// A plot area: a rectangle of the document (pixels, y downwards) and the data ranges it
// shows (normally the ends of the tick lists).
struct Frame {
  double left = 0.0, top = 0.0, width = 0.0, height = 0.0;  // pixels
  double xMin = 0.0, xMax = 1.0;   // data range across, xMin < xMax
  double yMin = 0.0, yMax = 1.0;   // data range upwards, yMin < yMax
  std::vector<double> xTicks, yTicks;  // tick values within the ranges
  std::vector<std::string> xTickLabels;  // optional labels replacing the numbers of xTicks
  bool yTickLabels = true;             // false: the y ticks are drawn without their numbers
};

// A frame at the given rectangle whose ranges are the nice ticks of the data ranges.
Frame makeFrame(double left, double top, double width, double height, double xLo, double xHi,
                double yLo, double yHi, int xCount = 5, int yCount = 5);

double frameX(const Frame& frame, double x);  // pixel column of data value x
double frameY(const Frame& frame, double y);  // pixel row of data value y

// The frame's box, its ticks with their labels, light grid lines, and the axis names (x
// below, y turned upwards at the left); empty names are left out.
void drawAxes(Document& document, const Frame& frame, const std::string& xName,
              const std::string& yName);

// Text anchored at (x, y) in pixels; `anchor` is "start", "middle" or "end". `rotate` turns
// it by that many degrees around the anchor.
void drawText(Document& document, double x, double y, std::string_view text,
              const char* anchor = "middle", double size = 12.0, double rotate = 0.0,
              const char* weight = "normal");

void drawLine(Document& document, double x1, double y1, double x2, double y2,
              const char* stroke, double width = 1.0, const char* dash = nullptr);

// A polyline through the points (pixels); nothing for fewer than two points. `cssClass`
// names the element for readers of the file ("" for none).
void drawPolyline(Document& document, const std::vector<double>& xs,
                  const std::vector<double>& ys, const char* stroke, double width,
                  const char* cssClass = "");

void drawCircle(Document& document, double x, double y, double radius, const char* fill,
                const char* stroke, double opacity = 1.0, const char* cssClass = "");

// An x-shaped cross of half-size `size` centred at (x, y), as one <path> element.
void drawCross(Document& document, double x, double y, double size, const char* stroke,
               const char* cssClass = "");

// A rectangle; a non-empty `tooltip` becomes its <title> (shown when the pointer rests on it).
void drawRect(Document& document, double x, double y, double width, double height,
              const char* fill, const char* stroke, const char* cssClass = "",
              std::string_view tooltip = {});

// Writes `text` to `path` whole; false with `error` set when it cannot.
bool writeTextFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace karvo::svg
