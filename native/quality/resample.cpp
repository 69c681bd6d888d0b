#include "quality/resample.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace halvec::core::quality {
namespace {

// Changes summed between two reports of the work done.
constexpr std::size_t kChangesBetweenReports = std::size_t{1} << 16;

// The upper convex hull of points[0, count), in place, from the cheapest up
// to its highest point: its vertices' count.
std::size_t hull(Point* points, std::size_t count) {
    std::sort(points, points + count, [](const Point& a, const Point& b) {
        return a.cost < b.cost || (a.cost == b.cost && a.result > b.result);
    });
    std::size_t kept = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const Point p = points[k];
        if (kept > 0 && p.cost == points[kept - 1].cost) continue;
        while (kept >= 2) {
            const Point a = points[kept - 2], b = points[kept - 1];
            if ((b.cost - a.cost) * (p.result - a.result) - (b.result - a.result) * (p.cost - a.cost) >= 0.0) {
                --kept;
            } else {
                break;
            }
        }
        points[kept++] = p;
    }
    std::size_t top = 0;
    for (std::size_t k = 1; k < kept; ++k) {
        if (points[k].result > points[top].result) top = k;
    }
    return top + 1;
}

// The result on the segment from a to b at `cost` (a share of the way along
// first: nothing overflows, however close the two costs are).
double between(Point a, Point b, double cost) {
    return a.result + (b.result - a.result) * ((cost - a.cost) / (b.cost - a.cost));
}

double value_at(const Point* v, std::size_t count, double cost) {
    if (cost <= v[0].cost) return v[0].result;
    for (std::size_t k = 0; k + 1 < count; ++k) {
        if (cost <= v[k + 1].cost) return between(v[k], v[k + 1], cost);
    }
    return v[count - 1].result;
}

// Each stretch's mean result, weighted by its share of the width.
double aiq(const Point* v, std::size_t count, double low, double high) {
    if (high <= low) return value_at(v, count, low);
    const double width = high - low;
    double total = 0.0;
    for (std::size_t k = 0; k + 1 < count; ++k) {
        const Point a = v[k], b = v[k + 1];
        const double left = std::max(a.cost, low), right = std::min(b.cost, high);
        if (left < right) total += (right - left) / width * ((between(a, b, left) + between(a, b, right)) / 2.0);
    }
    const Point top = v[count - 1];
    const double left = std::max(top.cost, low);
    if (left < high) total += (high - left) / width * top.result;
    return total;
}

// The least cost at which the hull reaches `result`; false where it never does.
bool cost_to_reach(const Point* v, std::size_t count, double result, double& cost) {
    if (v[0].result >= result) {
        cost = v[0].cost;
        return true;
    }
    for (std::size_t k = 0; k + 1 < count; ++k) {
        const Point a = v[k], b = v[k + 1];
        if (b.result == result) {
            cost = b.cost;
            return true;
        }
        if (b.result > result) {
            cost = a.cost + (b.cost - a.cost) * ((result - a.result) / (b.result - a.result));
            return true;
        }
    }
    return false;
}

struct Best {
    Point point;
    double low;
    double high;
};

// The hull of points[0, count) measured into row: its AIQ, then its cost to
// reach each target share of the best model's result, as a share of its cost.
void hull_figures(const Plan& plan, const Best& best, Point* points, std::size_t count, double* row) {
    const std::size_t vertices = hull(points, count);
    row[0] = aiq(points, vertices, best.low, best.high);
    for (std::size_t t = 0; t < plan.target_count; ++t) {
        double at = 0.0;
        const bool reached = cost_to_reach(points, vertices, plan.targets[t] * best.point.result, at);
        row[1 + t] = !reached || best.point.cost == 0.0 ? std::numeric_limits<double>::quiet_NaN()
                                                        : at / best.point.cost;
    }
}

}  // namespace

std::size_t scratch_points(const Plan& plan) {
    std::size_t most = 0;
    for (std::size_t f = 0; f < plan.frontier_count; ++f) most = std::max(most, plan.frontiers[f].points);
    return most + plan.models;
}

int figures(const Plan& plan, const std::int64_t* counts, Point* scratch, const Figures& out, WorkDone work_done,
            void* context) {
    const std::size_t n = plan.prompts, width = plan.models;
    std::int64_t whole = 0;
    for (std::size_t i = 0; i < n; ++i) whole += counts[i];
    const double total = static_cast<double>(whole);
    for (std::size_t m = 0; m < width; ++m) {
        double cost = 0.0, result = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double w = static_cast<double>(counts[i]);
            cost += w * plan.costs[i * width + m];
            result += w * plan.results[i * width + m];
        }
        out.models[m] = {cost / total, result / total};
    }
    if (const int stop = work_done(context, n * width)) return stop;
    std::size_t best = 0;
    for (std::size_t m = 1; m < width; ++m) {
        const Point p = out.models[m], b = out.models[best];
        if (p.result > b.result || (p.result == b.result && p.cost < b.cost)) best = m;
    }
    Best bounds{out.models[best], out.models[0].cost, out.models[0].cost};
    for (std::size_t m = 1; m < width; ++m) {
        bounds.low = std::min(bounds.low, out.models[m].cost);
        bounds.high = std::max(bounds.high, out.models[m].cost);
    }
    const std::size_t row = 1 + plan.target_count;
    std::copy(out.models, out.models + width, scratch);
    hull_figures(plan, bounds, scratch, width, out.hulls);

    for (std::size_t f = 0; f < plan.frontier_count; ++f) {
        const FrontierPlan& fp = plan.frontiers[f];
        double cost = 0.0, result = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double w = static_cast<double>(counts[i]);
            cost += w * fp.start_costs[i];
            result += w * fp.start_results[i];
        }
        scratch[0] = {cost / total, result / total};
        out.starts[f] = scratch[0];
        std::size_t e = 0, since = 0;
        for (std::size_t k = 1; k < fp.points; ++k) {
            for (const std::size_t end = fp.ends[k - 1]; e < end; ++e) {
                const double w = static_cast<double>(counts[fp.prompts[e]]);
                cost += w * fp.costs[e];
                result += w * fp.results[e];
            }
            scratch[k] = {cost / total, result / total};
            if (e - since >= kChangesBetweenReports) {
                if (const int stop = work_done(context, e - since)) return stop;
                since = e;
            }
        }
        std::copy(out.models, out.models + width, scratch + fp.points);
        hull_figures(plan, bounds, scratch, fp.points + width, out.hulls + (1 + f) * row);
        if (const int stop = work_done(context, n + fp.changes - since)) return stop;
    }

    for (std::size_t c = 0; c < plan.choice_count; ++c) {
        const std::uint32_t* chosen = plan.choices + c * n;
        std::int64_t* calls = out.calls + c * width;
        std::fill(calls, calls + width, std::int64_t{0});
        double cost = 0.0, result = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t m = chosen[i];
            const double w = static_cast<double>(counts[i]);
            cost += w * plan.costs[i * width + m];
            result += w * plan.results[i * width + m];
            calls[m] += counts[i];
        }
        out.choice_points[c] = {cost / total, result / total};
    }
    return 0;
}

}  // namespace halvec::core::quality
