#include "face_step.h"

#include <algorithm>
#include <cstddef>

namespace zelmor::engine {

namespace {

// The free variables of the rows that move, class by class: the positions (rows, among the
// free rows) whose variable in class m is free, and each class's kernel block over them.
struct Face {
    std::int64_t n = 0;
    std::int32_t k = 0;
    std::vector<std::int64_t> rows;                   // the free rows, examples of the solve
    std::vector<std::vector<std::int64_t>> members;   // per class, positions into rows
    std::vector<std::vector<double>> blocks;          // per class, |members|^2, column-major
    std::vector<std::int64_t> offsets;                // per class, where its variables start
    // Per free row, the flat indices of its variables and their classes, classes increasing.
    std::vector<std::vector<std::int64_t>> variables;
    std::vector<std::vector<std::int32_t>> classes;
    std::int64_t size = 0;                            // the variables in all
    bool tooCostly = false;
};

double boundOf(std::int32_t m, std::int64_t c) { return m == c ? 1.0 : 0.0; }

std::int64_t classOf(const DualProblem& problem, std::int64_t i) {
    return static_cast<std::int64_t>(problem.labels[i]) - 1;
}

// The free rows and their variables; false when there are none to move or the blocks would be
// too large.
bool findFace(const DualProblem& problem, const std::vector<double>& tau, const FaceStepSettings& settings,
              Face* face) {
    const std::int64_t n = problem.exampleCount;
    const auto k = static_cast<std::int32_t>(problem.classCount);
    face->n = n;
    face->k = k;
    face->members.assign(static_cast<std::size_t>(k), {});
    std::vector<std::int32_t> free;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t c = classOf(problem, i);
        free.clear();
        for (std::int32_t m = 0; m < k; ++m) {
            // Strictly below the bound; -0.0 is at the bound 0.
            if (tau[static_cast<std::size_t>(i + m * n)] < boundOf(m, c)) free.push_back(m);
        }
        if (free.size() < 2) continue;
        const auto position = static_cast<std::int64_t>(face->rows.size());
        face->rows.push_back(i);
        face->classes.push_back(free);
        for (std::int32_t m : free) face->members[static_cast<std::size_t>(m)].push_back(position);
    }
    if (face->rows.size() < 2) return false;
    std::int64_t entries = 0;
    face->offsets.assign(static_cast<std::size_t>(k) + 1, 0);
    for (std::int32_t m = 0; m < k; ++m) {
        const auto count = static_cast<std::int64_t>(face->members[static_cast<std::size_t>(m)].size());
        entries += count * count;
        face->offsets[static_cast<std::size_t>(m) + 1] = face->offsets[static_cast<std::size_t>(m)] + count;
    }
    face->size = face->offsets[static_cast<std::size_t>(k)];
    if (entries > settings.mostBlockEntries) return false;
    // The conjugate gradients and the halvings each cost a product with the blocks; the gradient
    // moves by every free variable's row.
    const double work = static_cast<double>(settings.iterations + 4) * static_cast<double>(entries) +
                        static_cast<double>(face->size) * static_cast<double>(n);
    face->tooCostly = work > static_cast<double>(settings.mostWork);
    if (face->tooCostly) return false;
    // Each variable's flat index: its class's offset and its place among the class's members.
    face->variables.assign(face->rows.size(), {});
    for (std::int32_t m = 0; m < k; ++m) {
        const std::vector<std::int64_t>& members = face->members[static_cast<std::size_t>(m)];
        for (std::size_t r = 0; r < members.size(); ++r) {
            face->variables[static_cast<std::size_t>(members[r])].push_back(face->offsets[static_cast<std::size_t>(m)] +
                                                                            static_cast<std::int64_t>(r));
        }
    }
    return true;
}

// Each class's block of the kernel over its members; false when a row is not made.
bool fillBlocks(const DualProblem& problem, Face* face) {
    const std::int32_t k = face->k;
    face->blocks.assign(static_cast<std::size_t>(k), {});
    for (std::int32_t m = 0; m < k; ++m) {
        const std::size_t count = face->members[static_cast<std::size_t>(m)].size();
        face->blocks[static_cast<std::size_t>(m)].resize(count * count);
    }
    // Where each free row stands among each class's members.
    std::vector<std::int64_t> place(face->rows.size() * static_cast<std::size_t>(k), -1);
    for (std::int32_t m = 0; m < k; ++m) {
        const std::vector<std::int64_t>& members = face->members[static_cast<std::size_t>(m)];
        for (std::size_t r = 0; r < members.size(); ++r) {
            place[static_cast<std::size_t>(members[r]) * static_cast<std::size_t>(k) + static_cast<std::size_t>(m)] =
                static_cast<std::int64_t>(r);
        }
    }
    for (std::size_t q = 0; q < face->rows.size(); ++q) {
        const double* row = problem.rows->row(problem.rows->context, face->rows[q]);
        if (row == nullptr) return false;
        for (std::int32_t m : face->classes[q]) {
            const std::vector<std::int64_t>& members = face->members[static_cast<std::size_t>(m)];
            const std::int64_t column = place[q * static_cast<std::size_t>(k) + static_cast<std::size_t>(m)];
            double* block = face->blocks[static_cast<std::size_t>(m)].data() + column * static_cast<std::int64_t>(members.size());
            for (std::size_t r = 0; r < members.size(); ++r) {
                block[r] = row[face->rows[static_cast<std::size_t>(members[r])]];
            }
        }
    }
    return true;
}

// v minus, row by row, the mean of its free variables: onto the sums that stay.
void projectOntoSums(const Face& face, std::vector<double>* v) {
    for (const std::vector<std::int64_t>& variables : face.variables) {
        double sum = 0.0;
        for (std::int64_t index : variables) sum += (*v)[static_cast<std::size_t>(index)];
        const double mean = sum / static_cast<double>(variables.size());
        for (std::int64_t index : variables) (*v)[static_cast<std::size_t>(index)] -= mean;
    }
}

// out = H v, class by class: each class's block times its members' part of v, each entry summed
// over the block's columns in increasing order.
void hessianTimes(const Face& face, const std::vector<double>& v, std::vector<double>* out) {
    std::fill(out->begin(), out->end(), 0.0);
    for (std::int32_t m = 0; m < face.k; ++m) {
        const auto count = static_cast<std::int64_t>(face.members[static_cast<std::size_t>(m)].size());
        const double* block = face.blocks[static_cast<std::size_t>(m)].data();
        const std::int64_t offset = face.offsets[static_cast<std::size_t>(m)];
        const double* x = v.data() + offset;
        double* y = out->data() + offset;
        for (std::int64_t c = 0; c < count; ++c) {
            const double weight = x[c];
            if (weight == 0.0) continue;
            const double* column = block + c * count;
            for (std::int64_t r = 0; r < count; ++r) y[r] = y[r] + column[r] * weight;
        }
    }
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
    return sum;
}

// Conjugate gradients on H x = -g within the sums that stay, from x = 0: every iterate lowers
// the quadratic model, however far the iterations go. -1 when a row is not made.
std::int64_t conjugateGradients(const Face& face, const std::vector<double>& g, int iterations,
                                const StopRequest& stop, std::vector<double>* x) {
    std::vector<double> r(g.size());
    for (std::size_t i = 0; i < g.size(); ++i) r[i] = -g[i];
    projectOntoSums(face, &r);
    std::vector<double> d = r;
    std::vector<double> q(g.size());
    double rr = dot(r, r);
    const double first = rr;
    x->assign(g.size(), 0.0);
    std::int64_t done = 0;
    for (; done < iterations && rr > 1e-30 * first; ++done) {
        if (stop.now()) return -1;
        hessianTimes(face, d, &q);
        projectOntoSums(face, &q);
        const double curvature = dot(d, q);
        if (!(curvature > 0.0)) break;
        const double step = rr / curvature;
        for (std::size_t i = 0; i < d.size(); ++i) {
            (*x)[i] += step * d[i];
            r[i] -= step * q[i];
        }
        const double next = dot(r, r);
        const double ratio = next / rr;
        rr = next;
        for (std::size_t i = 0; i < d.size(); ++i) d[i] = r[i] + ratio * d[i];
    }
    return done;
}

// The point nearest to `values` with each at most its bound and the same sum as now, `total`
// below the bounds in all: with u = bound - value, the nearest u >= 0 that sums to total,
// max(u - theta, 0) for the theta found over the entries sorted.
void projectOntoBounds(const std::vector<double>& bounds, double total, std::vector<double>* values,
                       std::vector<double>* scratch, std::vector<double>* sorted) {
    const std::size_t count = values->size();
    scratch->resize(count);
    for (std::size_t i = 0; i < count; ++i) (*scratch)[i] = bounds[i] - (*values)[i];
    sorted->assign(scratch->begin(), scratch->end());
    std::sort(sorted->begin(), sorted->end(), [](double a, double b) { return a > b; });
    double sum = 0.0;
    double theta = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
        sum += (*sorted)[j];
        theta = (sum - total) / static_cast<double>(j + 1);
        if (j + 1 == count || (*sorted)[j + 1] <= theta) break;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const double u = (*scratch)[i] > theta ? (*scratch)[i] - theta : 0.0;
        (*values)[i] = bounds[i] - u;
    }
}

}  // namespace

std::int64_t faceStepMostBlockEntries(std::int64_t n, std::int64_t k) {
    const std::int64_t perVariable = std::max(kFaceStepLeastBlockEntries, kFaceStepBlocksPerVariable * n * k);
    // No face holds more than every class's block over every example.
    return std::min({kFaceStepMostBlockEntries, perVariable, n * n * k});
}

std::int64_t faceStepBytes(std::int64_t n, std::int64_t k) {
    // The blocks, and the copy of the gradient the step moves.
    return 8 * faceStepMostBlockEntries(n, k) + 8 * n * k;
}

FaceStepResult faceStep(const DualProblem& problem, std::vector<double>* tau, std::vector<double>* grad,
                        const FaceStepSettings& settings, const StopRequest& stop) {
    FaceStepResult result;
    Face face;
    if (problem.rows == nullptr || !findFace(problem, *tau, settings, &face)) {
        result.tooCostly = face.tooCostly;
        return result;
    }
    result.freeRows = static_cast<std::int64_t>(face.rows.size());
    if (!fillBlocks(problem, &face)) return result;
    const std::int64_t n = face.n;
    // The gradient of the free variables, and the variables themselves, flat.
    std::vector<double> g(static_cast<std::size_t>(face.size));
    std::vector<double> now(static_cast<std::size_t>(face.size));
    for (std::size_t p = 0; p < face.rows.size(); ++p) {
        for (std::size_t v = 0; v < face.variables[p].size(); ++v) {
            const auto cell = static_cast<std::size_t>(face.rows[p] + face.classes[p][v] * n);
            g[static_cast<std::size_t>(face.variables[p][v])] = (*grad)[cell];
            now[static_cast<std::size_t>(face.variables[p][v])] = (*tau)[cell];
        }
    }
    std::vector<double> x;
    result.iterations = conjugateGradients(face, g, settings.iterations, stop, &x);
    if (result.iterations < 0) return FaceStepResult{};

    // The step, projected row by row onto the bounds, halved until the objective falls: the
    // model is exact, a quadratic, so the change is g . delta + delta' H delta / 2.
    std::vector<double> next(static_cast<std::size_t>(face.size));
    std::vector<double> delta(static_cast<std::size_t>(face.size));
    std::vector<double> curvature(static_cast<std::size_t>(face.size));
    std::vector<double> values, bounds, scratch, sorted;
    double length = 1.0;
    for (int halving = 0; halving <= settings.halvings; ++halving, length *= 0.5) {
        for (std::size_t p = 0; p < face.rows.size(); ++p) {
            const std::vector<std::int64_t>& variables = face.variables[p];
            const std::int64_t c = classOf(problem, face.rows[p]);
            values.clear();
            bounds.clear();
            double total = 0.0;
            for (std::size_t v = 0; v < variables.size(); ++v) {
                const auto index = static_cast<std::size_t>(variables[v]);
                const double bound = boundOf(face.classes[p][v], c);
                bounds.push_back(bound);
                values.push_back(now[index] + length * x[index]);
                total += bound - now[index];
            }
            projectOntoBounds(bounds, total, &values, &scratch, &sorted);
            for (std::size_t v = 0; v < variables.size(); ++v) {
                const auto index = static_cast<std::size_t>(variables[v]);
                next[index] = values[v];
                delta[index] = values[v] - now[index];
            }
        }
        hessianTimes(face, delta, &curvature);
        const double change = dot(g, delta) + 0.5 * dot(delta, curvature);
        if (change < 0.0) {
            result.taken = true;
            result.length = length;
            result.decrease = change;
            break;
        }
    }
    if (!result.taken) return result;

    // Every example's gradient after the step, in a copy so that a stop leaves everything as it
    // was: each entry adds the free rows' changes in increasing order of the rows, then of their
    // classes.
    // One row at a time: a row made on demand is valid until the next is asked for.
    std::vector<double> moved = *grad;
    for (std::size_t p = 0; p < face.rows.size(); ++p) {
        const double* row = problem.rows->row(problem.rows->context, face.rows[p]);
        if (row == nullptr) return FaceStepResult{};
        for (std::size_t v = 0; v < face.variables[p].size(); ++v) {
            const double change = delta[static_cast<std::size_t>(face.variables[p][v])];
            if (change == 0.0) continue;
            double* target = moved.data() + face.classes[p][v] * n;
            for (std::int64_t l = 0; l < n; ++l) target[l] = target[l] + row[l] * change;
        }
    }
    grad->swap(moved);
    for (std::size_t p = 0; p < face.rows.size(); ++p) {
        for (std::size_t v = 0; v < face.variables[p].size(); ++v) {
            const auto cell = static_cast<std::size_t>(face.rows[p] + face.classes[p][v] * n);
            (*tau)[cell] = next[static_cast<std::size_t>(face.variables[p][v])];
        }
    }
    return result;
}

}  // namespace zelmor::engine
