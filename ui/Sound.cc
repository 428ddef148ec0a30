#include "ui/Sound.h"

#include <alsa/asoundlib.h>
#include <sndfile.h>

#include <thread>
#include <vector>

#include "platform/Bundle.h"
#include "platform/Console.h"

namespace sorv {

namespace {

// Sounds longer than this are cut; the lock sounds last a fraction of a second.
constexpr sf_count_t kMaxSeconds = 10;

void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

void playToEnd(snd_pcm_t* pcm, SNDFILE* file, SF_INFO info) {
  std::vector<short> buffer(1024 * static_cast<std::size_t>(info.channels));
  sf_count_t left = kMaxSeconds * info.samplerate;
  while (left > 0) {
    sf_count_t frames = sf_readf_short(file, buffer.data(), std::min<sf_count_t>(1024, left));
    if (frames <= 0) break;
    left -= frames;
    const short* at = buffer.data();
    while (frames > 0) {
      snd_pcm_sframes_t written = snd_pcm_writei(pcm, at, static_cast<snd_pcm_uframes_t>(frames));
      if (written < 0) written = snd_pcm_recover(pcm, static_cast<int>(written), 1);
      if (written < 0) {
        left = 0;
        break;
      }
      frames -= written;
      at += written * info.channels;
    }
  }
  snd_pcm_drain(pcm);
  snd_pcm_close(pcm);
  sf_close(file);
}

}  // namespace

bool doPlaySound(const std::string& name, const std::string& type) {
  auto path = Bundle::pathForResource(name, type);
  if (!path) return false;
  SF_INFO info{};
  SNDFILE* file = sf_open(path->c_str(), SFM_READ, &info);
  if (!file || info.channels < 1 || info.channels > 8 || info.samplerate < 1000 ||
      info.samplerate > 384000) {
    if (file) sf_close(file);
    NSLog("Unable to create NSSound for testSound???");
    return false;
  }
  snd_lib_error_set_handler(quietAlsa);
  snd_pcm_t* pcm = nullptr;
  // Opened without blocking, so a busy or missing device never holds up the caller.
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0 ||
      snd_pcm_nonblock(pcm, 0) < 0 ||
      snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED,
                         static_cast<unsigned>(info.channels),
                         static_cast<unsigned>(info.samplerate), 1, 200000) < 0) {
    if (pcm) snd_pcm_close(pcm);
    sf_close(file);
    NSLog("testSound FAILED to start playing?????");
    return false;
  }
  std::thread(playToEnd, pcm, file, info).detach();
  return true;
}

}  // namespace sorv
