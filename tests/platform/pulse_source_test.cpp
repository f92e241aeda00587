// PulseAudio capture against the test desktop's daemon, whose default sink is the null sink
// "quillmar_null" (and which has no microphone: its only source is that sink's monitor).

#include "platform/audio_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "engine/audio.h"

namespace {

using platform::AudioRole;

class PulseSource : public testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("PULSE_SERVER"))
            GTEST_SKIP() << "no PulseAudio test daemon (run inside scripts/desktop-session)";
    }
};

TEST_F(PulseSource, ListsTheNullSinkAndNoMonitorAsMicrophone)
{
    auto outputs = audio::list_endpoints(platform::pulse_audio_driver, 0);
    ASSERT_TRUE(outputs) << outputs.error();
    auto sink = std::find_if(outputs->begin(), outputs->end(), [](auto const& d) { return d.id == "quillmar_null"; });
    ASSERT_NE(sink, outputs->end());
    EXPECT_TRUE(sink->is_default);
    EXPECT_EQ(sink->name, "Sortie_de_test");

    auto microphones = audio::list_endpoints(platform::pulse_audio_driver, 1);
    ASSERT_TRUE(microphones) << microphones.error();
    for (auto const& device : *microphones)
        EXPECT_EQ(device.id.find(".monitor"), std::string::npos) << device.id;
}

// What plays is captured with its sound and timing by the whole-program test (its game's tone, within 50 ms of
// its picture); here, the choices of device that test never makes.
TEST_F(PulseSource, DefaultSourceThatIsAMonitorMeansNoMicrophoneAndAGoneSinkFallsBack)
{
    auto backend = platform::pulse_audio_driver.create();
    ASSERT_TRUE(backend) << backend.error();
    EXPECT_FALSE((*backend)->open(AudioRole::Microphone, std::nullopt));
    EXPECT_FALSE((*backend)->open(AudioRole::Microphone, std::string("pas_de_micro")));
    for (auto sink : { std::optional<std::string>("quillmar_null"), std::optional<std::string>("sortie_disparue") }) {
        auto stream = (*backend)->open(AudioRole::Output, sink);
        ASSERT_TRUE(stream) << *sink << ": " << stream.error();
        std::vector<platform::AudioPacket> packets;
        EXPECT_TRUE((*stream)->read(packets)) << *sink;
    }
}

}
