// The action entry driven as a host drives it: through QEL_KorvexAction of
// the loaded module, never through the module's code linked into the test.
#include "requests/request_fixture.h"

#include <algorithm>
#include <dlfcn.h>
#include <string>
#include <vector>

static const std::vector<std::string> ALL_SUITES = {"Log",   "Ctrl",     "MultiProc",   "Node", "Image",
                                                    "ImageConversion", "OpenGLv1", "SuiteDialog", "Utils"};

using Lifecycle = HostTest;

TEST_F(Lifecycle, FirstInstanceBindsAndLastOneUnbinds) {
    auto first = make_host();
    auto second = make_host();
    auto third = make_host();
    ASSERT_TRUE(first->init());
    EXPECT_EQ(first->suite_requests(), ALL_SUITES);
    // Later instances neither ask for the suites nor bind again.
    ASSERT_TRUE(second->init() && third->init());
    EXPECT_TRUE(second->suite_requests().empty() && third->suite_requests().empty());
    EXPECT_EQ(bindings(), 1);
    EXPECT_NE(first->plugin_data(), second->plugin_data());

    // Any order of leaving; only the last one unbinds.
    EXPECT_TRUE(second->exit() && first->exit());
    EXPECT_EQ(bindings(), 1);
    EXPECT_TRUE(third->exit());
    EXPECT_EQ(bindings(), 0);
    EXPECT_FALSE(third->has_instance());

    // With every instance gone the next one starts from the beginning.
    ASSERT_TRUE(first->init());
    EXPECT_EQ(first->suite_requests().size(), 2 * ALL_SUITES.size());
    EXPECT_EQ(bindings(), 1);
    for (auto* host : {first.get(), second.get(), third.get()}) EXPECT_TRUE(host->faults().empty());
}

TEST_F(Lifecycle, FailedBindingReportsLeavesTheCountAloneAndTheNextInitTriesAgain) {
    auto host = make_host();
    standin_set_fflink_fail(true);
    EXPECT_FALSE(host->init());
    EXPECT_FALSE(host->has_instance());
    EXPECT_TRUE(host->log().contains(4, "QelFFmpeg: Error loading ffmpeg libraries"));
    qelhost::HostOptions withoutLog;
    withoutLog.missing_suites = {"Log"};
    auto quiet = make_host(withoutLog);
    EXPECT_FALSE(quiet->init());
    EXPECT_TRUE(quiet->log().lines().empty()) << "without the Log suite it stays quiet";

    standin_set_fflink_fail(false);
    EXPECT_FALSE(host->exit() || host->exit());
    // Had a failed init or those exits moved the count, this init would find
    // FFmpeg "already bound" and ask for nothing.
    host->clear_suite_requests();
    ASSERT_TRUE(host->init());
    EXPECT_EQ(host->suite_requests(), ALL_SUITES);
    ASSERT_TRUE(host->exit());
    EXPECT_EQ(bindings(), 0);
}

using Dispatch = HostTest;

// Refused without a host record, without an instance, or without the
// parameters the action reads; unknown codes are ignored.
TEST_F(Dispatch, ActionsWithoutWhatTheyNeedAreRefused) {
    QEL_CtrlAction control{1};
    QEL_OutputInfo info{};
    for (uint32_t code : {0u, 1u, 7u, 15u, 29u, 34u, 40u, 99u}) {
        void* params = code == ACTION_CONTROL ? static_cast<void*>(&control)
                       : code == ACTION_OUTPUT_INFO ? static_cast<void*>(&info)
                                                    : nullptr;
        EXPECT_FALSE(module->action(nullptr, code, params)) << "code " << code;
    }
    auto host = make_host();
    qelhost::Picture picture(16, 16);
    qelhost::FrameRequest request;
    request.picture = &picture;
    request.path = "never-written.mov";
    EXPECT_FALSE(host->exit() || host->control(4242u) || host->restore() || host->output_info(info) ||
                 host->process(request));
    EXPECT_TRUE(host->action(34) && host->action(99));
    EXPECT_EQ(bindings(), 0);

    ASSERT_TRUE(host->init());
    EXPECT_FALSE(host->action(ACTION_PROCESS, nullptr) || host->action(ACTION_OUTPUT_INFO, nullptr));
    EXPECT_TRUE(host->has_instance());
}

TEST(Translation, DescriptorTakesTheTranslationsOfLoadTime) {
    // Only a fresh load sees them; hosts unload modules, so ours must go.
    if (void* still = dlopen(QEL_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD)) {
        dlclose(still);
        FAIL() << "the module stayed loaded after its last host released it";
    }
    const char* const texts[][2] = {{"Encoders", "Kodierer"}, {"FFmpeg Encoder", "FFmpeg-Kodierer"}, {"None", "Keine"}};
    for (const auto& t : texts) standin_set_translation(nullptr, t[0], t[1]);
    standin_set_translation(nullptr, "Qel Software", "translated vendor");
    standin_set_translation("Faststart", "FFmpeg File writer", "wrong context");
    auto module = qelhost::Module::load(QEL_MODULE_PATH);
    standin_clear_translations();

    std::vector<std::string> seen;
    for (const auto& field : qelhost::read_descriptor(module->descriptor_bytes()))
        if (field.text) seen.push_back(field.text);
    // The vendor is not translated, nor a text by a translation of another context.
    for (const std::string wanted : {"Kodierer", "FFmpeg-Kodierer", "Keine", "Qel Software", "FFmpeg File writer"})
        EXPECT_NE(std::find(seen.begin(), seen.end(), wanted), seen.end()) << wanted;
}
