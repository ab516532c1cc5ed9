#include "Bench.h"

#include <algorithm>
#include <cstdio>

#include "platform/Platform.h"
#include "scene/PassMark.h"

namespace {

// Timer queries at each pass mark; fetched here, the demo itself needs none.
const int markCount = int(Pass::End) + 1;
struct PassTimer {
    PFNGLQUERYCOUNTERPROC queryCounter = nullptr;
    PFNGLGETQUERYOBJECTUI64VPROC getQueryObjectui64v = nullptr;
    GLuint queries[markCount];
};

// A software renderer runs a pass when it is flushed, not when it is drawn:
// finishing at each mark charges every pass its own work.
void timePass(void* context, Pass pass) {
    PassTimer& timer = *static_cast<PassTimer*>(context);
    glFinish();
    timer.queryCounter(timer.queries[int(pass)], GL_TIMESTAMP);
}

// Whether GL can time the passes; if so, the demo marks them to the timer.
bool startTiming(Renderer& r, PassTimer& timer) {
    auto genQueries = (PFNGLGENQUERIESPROC)lookUpGLProcedure("glGenQueries");
    timer.queryCounter = (PFNGLQUERYCOUNTERPROC)lookUpGLProcedure("glQueryCounter");
    timer.getQueryObjectui64v = (PFNGLGETQUERYOBJECTUI64VPROC)lookUpGLProcedure("glGetQueryObjectui64v");
    if (!genQueries || !timer.queryCounter || !timer.getQueryObjectui64v)
        return false;
    genQueries(markCount, timer.queries);
    r.demo.setPassHook(PassHook{timePass, &timer});
    return true;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The measured frames of one time and of each of its passes.
struct Measured {
    std::vector<double> frame;
    std::vector<std::vector<double>> passes = std::vector<std::vector<double>>(markCount - 1);

    void addPasses(const PassTimer& timer) {
        GLuint64 stamps[markCount];
        for (int m = 0; m < markCount; ++m)
            timer.getQueryObjectui64v(timer.queries[m], GL_QUERY_RESULT, &stamps[m]);
        for (int m = 0; m + 1 < markCount; ++m)
            passes[size_t(m)].push_back((stamps[m + 1] - stamps[m]) / 1e6);
    }

    void print(double t, bool timed) {
        static const char* const names[] = {"gbuffer", "occlusion", "sky_composite", "final_pass", "bloom", "credits"};
        std::printf("t=%g frame_ms=%.1f\n", t, median(frame));
        for (int m = 0; timed && m + 1 < markCount; ++m)
            std::printf("  pass=%s ms=%.1f\n", names[m], median(passes[size_t(m)]));
        std::fflush(stdout);
        frame.clear();
        for (std::vector<double>& pass : passes)
            pass.clear();
    }
};

}  // namespace

int bench(Renderer& r, const std::vector<double>& times) {
    PassTimer timer;
    bool timed = startTiming(r, timer);
    const long runs = 5, perTime = runs + 1;
    Measured measured;
    render(r, long(times.size()) * perTime, [&](long k) { return times[size_t(k / perTime)]; },
           [&](long k, double ms) {
               long run = k % perTime;
               if (run == 0)
                   return true;
               measured.frame.push_back(ms);
               if (timed)
                   measured.addPasses(timer);
               if (run == runs)
                   measured.print(times[size_t(k / perTime)], timed);
               return true;
           });
    r.demo.setPassHook(PassHook());
    if (stopSignal)
        std::fprintf(stderr, "velvoria-capture: interrupted\n");
    return 0;
}
