#include "tools/orvo/png_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include "tools/orvo/failure.h"
#include "tools/orvo/replaced_file.h"

namespace orvo::tool {

namespace {

cairo_status_t WriteToStream(void* stream, const unsigned char* data, unsigned int length)
{
    return std::fwrite(data, 1, length, static_cast<std::FILE*>(stream)) == length ? CAIRO_STATUS_SUCCESS
                                                                                    : CAIRO_STATUS_WRITE_ERROR;
}

constexpr int kWidth = 1600;
constexpr double kLeft = 110.0;
constexpr double kRight = 130.0;  // room for the scale bar
constexpr double kTop = 50.0;
constexpr double kBottom = 60.0;
constexpr double kPlotHeight = 860.0;
constexpr double kMinPlotHeight = 240.0;  // room for the amplitude title however few rows
constexpr double kMinRowHeight = 24.0;
constexpr double kMaxRowHeight = 90.0;
constexpr double kCurvesGap = 40.0;
constexpr double kCurvesHeight = 320.0;
// How far from its middle the typical amplitude takes a row: under half
// its height, so that neighbouring rows do not overlap.
constexpr double kRowReach = 0.45;
constexpr std::size_t kScaleProbes = 200000;

struct SurfaceFree {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextFree {
    void operator()(cairo_t* context) const { cairo_destroy(context); }
};

std::string Format(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// 1, 2 or 5 times a power of ten, the largest not above value.
double NiceBelow(double value)
{
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double step : {5.0, 2.0, 1.0}) {
        if (step * power <= value) {
            return step * power;
        }
    }
    return power;
}

struct VoltUnit {
    double perVolt;
    const char* name;
};

// The unit that shows an amplitude in a number from 1 to 999.
VoltUnit UnitFor(double volts)
{
    if (volts < 1e-3) {
        return {1e6, "\xC2\xB5V"};
    }
    return volts < 1.0 ? VoltUnit{1e3, "mV"} : VoltUnit{1.0, "V"};
}

// The amplitude that 99.9 % of the samples stay within, from a spread of
// probes so that long rows cost no more than short ones.
double TypicalAmplitude(const Chart& chart)
{
    std::size_t total = 0;
    for (const ChartRow& row : chart.rows) {
        total += row.count;
    }
    const std::size_t stride = std::max<std::size_t>(1, total / kScaleProbes);
    std::vector<float> probes;
    for (const ChartRow& row : chart.rows) {
        for (std::size_t i = 0; i < row.count; i += stride) {
            if (std::isfinite(row.values[i])) {
                probes.push_back(std::fabs(row.values[i]));
            }
        }
    }
    if (probes.empty()) {
        return 1.0;
    }
    const std::size_t at = probes.size() - 1 - probes.size() / 1000;
    std::nth_element(probes.begin(), probes.begin() + static_cast<std::ptrdiff_t>(at), probes.end());
    const double amplitude = probes[at];
    return amplitude > 0.0 ? amplitude : 1.0;
}

void Text(cairo_t* cr, double x, double y, const std::string& text, double alignX)
{
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    cairo_move_to(cr, x - alignX * extents.x_advance, y + extents.height / 2.0);
    cairo_show_text(cr, text.c_str());
}

// Each pixel column shows the least and greatest sample it covers, so
// spikes survive however many samples share a column.
void Trace(cairo_t* cr, const ChartRow& row, double left, double width, double samplesPerPixel, double middle,
           double pixelsPerUnit)
{
    bool begun = false;
    const auto columns = static_cast<std::size_t>(width);
    for (std::size_t column = 0; column < columns; ++column) {
        const auto first = static_cast<std::size_t>(static_cast<double>(column) * samplesPerPixel);
        const auto last = std::min(
            row.count, static_cast<std::size_t>(static_cast<double>(column + 1) * samplesPerPixel) + 1);
        if (first >= row.count) {
            break;
        }
        // Samples that were not recorded (NaN) leave a gap in the trace.
        float low = std::numeric_limits<float>::infinity();
        float high = -low;
        for (std::size_t i = first; i < last; ++i) {
            if (std::isfinite(row.values[i])) {
                low = std::min(low, row.values[i]);
                high = std::max(high, row.values[i]);
            }
        }
        if (low > high) {
            begun = false;
            continue;
        }
        const double x = left + static_cast<double>(column) + 0.5;
        if (!begun) {
            cairo_move_to(cr, x, middle - high * pixelsPerUnit);
            begun = true;
        } else {
            cairo_line_to(cr, x, middle - high * pixelsPerUnit);
        }
        cairo_line_to(cr, x, middle - low * pixelsPerUnit);
    }
    cairo_stroke(cr);
}

void TimeAxis(cairo_t* cr, const Chart& chart, double left, double width, double bottom, double seconds)
{
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    cairo_set_line_width(cr, 1.0);
    cairo_move_to(cr, left, bottom + 0.5);
    cairo_line_to(cr, left + width, bottom + 0.5);
    cairo_stroke(cr);
    const double step = NiceBelow(seconds / 5.0);
    const double firstTick = std::ceil(chart.start / step) * step;
    // Counted ticks: adding a small step to a late start could stall.
    constexpr int kMaxTicks = 20;
    for (int k = 0; k <= kMaxTicks; ++k) {
        const double tick = firstTick + k * step;
        if (tick > chart.start + seconds + step * 1e-9) {
            break;
        }
        const double x = left + (tick - chart.start) / seconds * width;
        cairo_move_to(cr, x, bottom);
        cairo_line_to(cr, x, bottom + 6.0);
        cairo_stroke(cr);
        Text(cr, x, bottom + 16.0, Format("%g", std::fabs(tick) < step * 1e-9 ? 0.0 : tick), 0.5);
    }
    Text(cr, left + width / 2.0, bottom + 40.0, chart.timeLabel, 0.5);
}

// Dashed lines across [top, bottom] at each marker inside the time span,
// labelled above top.
void Markers(cairo_t* cr, const Chart& chart, double left, double width, double top, double bottom, double seconds)
{
    cairo_save(cr);
    const double dash[] = {5.0, 4.0};
    cairo_set_dash(cr, dash, 2, 0.0);
    cairo_set_line_width(cr, 1.0);
    for (const ChartMarker& marker : chart.markers) {
        const double at = (marker.time - chart.start) / seconds;
        if (!(at >= 0.0 && at <= 1.0)) {
            continue;
        }
        const double x = left + at * width;
        cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
        cairo_move_to(cr, x + 0.5, top);
        cairo_line_to(cr, x + 0.5, bottom);
        cairo_stroke(cr);
        Text(cr, x, top - 9.0, marker.label, 0.5);
    }
    cairo_restore(cr);
}

// Colours that stay apart from each other on white.
constexpr double kPalette[][3] = {{0.12, 0.47, 0.71}, {1.0, 0.5, 0.05}, {0.17, 0.63, 0.17},
                                  {0.84, 0.15, 0.16}, {0.58, 0.4, 0.74}, {0.55, 0.34, 0.29}};

// The curves panel: each mean as a line over its band, an amplitude axis
// with round ticks, and a legend at the right.
void Curves(cairo_t* cr, const Chart& chart, double left, double width, double top, double height,
            double seconds)
{
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (const ChartCurve& curve : chart.curves) {
        for (std::size_t i = 0; i < curve.mean.size(); ++i) {
            if (std::isfinite(curve.mean[i]) && std::isfinite(curve.spread[i])) {
                low = std::min(low, static_cast<double>(curve.mean[i] - curve.spread[i]));
                high = std::max(high, static_cast<double>(curve.mean[i] + curve.spread[i]));
            }
        }
    }
    if (!(high > low)) {
        return;
    }
    const VoltUnit unit = UnitFor(std::max(std::fabs(low), std::fabs(high)));
    const double margin = (high - low) * 0.05;
    low -= margin;
    high += margin;
    const auto y = [&](double volts) { return top + height * (high - volts) / (high - low); };
    const auto x = [&](std::size_t i) { return left + static_cast<double>(i) / chart.rate / seconds * width; };

    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    Text(cr, left + width / 2.0, top - 14.0, chart.curvesTitle, 0.5);
    cairo_set_line_width(cr, 1.0);
    cairo_move_to(cr, left - 0.5, top);
    cairo_line_to(cr, left - 0.5, top + height);
    cairo_stroke(cr);
    const double step = NiceBelow((high - low) / 4.0);
    const double firstTick = std::ceil(low / step) * step;
    // Counted, as in TimeAxis: a step too small to change a large value
    // must not stall the loop.
    for (int k = 0; k <= 10; ++k) {
        const double tick = firstTick + k * step;
        if (tick > high) {
            break;
        }
        cairo_move_to(cr, left - 6.0, y(tick));
        cairo_line_to(cr, left, y(tick));
        cairo_stroke(cr);
        Text(cr, left - 9.0, y(tick), Format("%g", std::fabs(tick) < step * 1e-6 ? 0.0 : tick * unit.perVolt), 1.0);
    }
    cairo_save(cr);
    cairo_translate(cr, 20.0, top + height / 2.0);
    cairo_rotate(cr, -M_PI / 2.0);
    Text(cr, 0.0, 0.0, std::string("mean (") + unit.name + ")", 0.5);
    cairo_restore(cr);

    cairo_save(cr);
    cairo_rectangle(cr, left, top, width, height);
    cairo_clip(cr);
    for (std::size_t k = 0; k < chart.curves.size(); ++k) {
        const ChartCurve& curve = chart.curves[k];
        const double* colour = kPalette[k % std::size(kPalette)];
        const std::size_t n = curve.mean.size();
        if (n < 2) {
            continue;
        }
        cairo_set_source_rgba(cr, colour[0], colour[1], colour[2], 0.18);
        cairo_move_to(cr, x(0), y(curve.mean[0] + curve.spread[0]));
        for (std::size_t i = 1; i < n; ++i) {
            cairo_line_to(cr, x(i), y(curve.mean[i] + curve.spread[i]));
        }
        for (std::size_t i = n; i-- > 0;) {
            cairo_line_to(cr, x(i), y(curve.mean[i] - curve.spread[i]));
        }
        cairo_close_path(cr);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, colour[0], colour[1], colour[2]);
        cairo_set_line_width(cr, 1.5);
        cairo_move_to(cr, x(0), y(curve.mean[0]));
        for (std::size_t i = 1; i < n; ++i) {
            cairo_line_to(cr, x(i), y(curve.mean[i]));
        }
        cairo_stroke(cr);
    }
    cairo_restore(cr);

    for (std::size_t k = 0; k < chart.curves.size(); ++k) {
        const double* colour = kPalette[k % std::size(kPalette)];
        const double rowY = top + 10.0 + 20.0 * static_cast<double>(k);
        cairo_set_source_rgb(cr, colour[0], colour[1], colour[2]);
        cairo_rectangle(cr, left + width + 20.0, rowY - 5.0, 18.0, 10.0);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
        Text(cr, left + width + 44.0, rowY, chart.curves[k].label, 0.0);
    }
}

}  // namespace

void WriteChartPng(const std::string& path, const Chart& chart)
{
    std::size_t longest = 0;
    for (const ChartRow& row : chart.rows) {
        longest = std::max(longest, row.count);
    }
    for (const ChartCurve& curve : chart.curves) {
        if (curve.spread.size() != curve.mean.size()) {
            throw Failure("a curve's band and mean differ in length, drawing " + path);
        }
        longest = std::max(longest, curve.mean.size());
    }
    if (chart.rows.empty() || longest < 2 || !(chart.rate > 0.0)) {
        throw Failure("nothing to draw into " + path);
    }
    const double rows = static_cast<double>(chart.rows.size());
    const double plotHeight =
        std::max(kMinPlotHeight, std::clamp(kPlotHeight / rows, kMinRowHeight, kMaxRowHeight) * rows);
    const double rowHeight = plotHeight / rows;
    const double curvesTop = kTop + plotHeight + kCurvesGap;
    const double panelsBottom = chart.curves.empty() ? kTop + plotHeight : curvesTop + kCurvesHeight;
    const double width = kWidth - kLeft - kRight;
    const int height = static_cast<int>(panelsBottom + kBottom);

    std::unique_ptr<cairo_surface_t, SurfaceFree> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, height));
    std::unique_ptr<cairo_t, ContextFree> context(cairo_create(surface.get()));
    cairo_t* cr = context.get();
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 13.0);
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    Text(cr, kWidth / 2.0, kTop / 2.0 - 8.0, chart.title, 0.5);

    const double amplitude = TypicalAmplitude(chart);
    const double pixelsPerUnit = rowHeight * kRowReach / amplitude;
    const double seconds = static_cast<double>(longest - 1) / chart.rate;
    const double samplesPerPixel = static_cast<double>(longest) / width;

    Markers(cr, chart, kLeft, width, kTop, panelsBottom, seconds);
    cairo_save(cr);
    cairo_rectangle(cr, kLeft, kTop, width, plotHeight);
    cairo_clip(cr);
    cairo_set_line_width(cr, 0.7);
    for (std::size_t i = 0; i < chart.rows.size(); ++i) {
        const double middle = kTop + rowHeight * (static_cast<double>(i) + 0.5);
        cairo_set_source_rgb(cr, 0.1 + 0.5 * static_cast<double>(i % 2), 0.2,
                             0.6 - 0.4 * static_cast<double>(i % 2));
        Trace(cr, chart.rows[i], kLeft, width, samplesPerPixel, middle, pixelsPerUnit);
    }
    cairo_restore(cr);

    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    for (std::size_t i = 0; i < chart.rows.size(); ++i) {
        Text(cr, kLeft - 8.0, kTop + rowHeight * (static_cast<double>(i) + 0.5), chart.rows[i].label, 1.0);
    }
    if (!chart.curves.empty()) {
        Curves(cr, chart, kLeft, width, curvesTop, kCurvesHeight, seconds);
    }
    TimeAxis(cr, chart, kLeft, width, panelsBottom, seconds);

    // The rows' amplitude: a bar of a round amplitude, and a title in the
    // bar's unit.
    const double bar = NiceBelow(amplitude);
    const VoltUnit unit = UnitFor(bar);
    const double barX = kLeft + width + 30.0;
    const double barBottom = kTop + plotHeight - 10.0;
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    cairo_set_line_width(cr, 2.0);
    cairo_move_to(cr, barX, barBottom);
    cairo_line_to(cr, barX, barBottom - bar * pixelsPerUnit);
    cairo_stroke(cr);
    Text(cr, barX + 8.0, barBottom - bar * pixelsPerUnit / 2.0, Format("%g ", bar * unit.perVolt) + unit.name, 0.0);
    cairo_save(cr);
    cairo_translate(cr, 20.0, kTop + plotHeight / 2.0);
    cairo_rotate(cr, -M_PI / 2.0);
    Text(cr, 0.0, 0.0, std::string("amplitude (") + unit.name + "), one row each", 0.5);
    cairo_restore(cr);

    cairo_surface_flush(surface.get());
    ReplacedFile output(path);
    const cairo_status_t status = cairo_surface_write_to_png_stream(surface.get(), WriteToStream, output.stream());
    if (status != CAIRO_STATUS_SUCCESS && status != CAIRO_STATUS_WRITE_ERROR) {
        throw Failure("cannot write " + path + ": " + cairo_status_to_string(status));
    }
    // A write error leaves its cause in the stream, which Commit reports.
    output.Commit();
}

void ReleaseChartResources()
{
    // The drawing library keeps font caches for the whole process; freeing
    // them keeps leak checks about our own memory.
    cairo_debug_reset_static_data();
    FcFini();
}

}  // namespace orvo::tool
