// Whole passes through real folders, with the HTTP replies scripted and time on a fake clock.
#include <gtest/gtest.h>

#include "platform/NotificationCenter.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"

namespace sorv::test {
namespace {

const std::string* field(const Dict& d, const char* key) {
  return dictGetString(d, key);
}

TEST(UploadCycle, DrainsSubfoldersIntoTheMirrorWithMovies) {
  CycleHarness h;
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/Sub/IMG_1.jpg"), standardMetaData()));
  writeFile(h.dir.sub("Source/Event/Sub/IMG_1.mov"), "movie bytes");
  ASSERT_TRUE(writePngWithMeta(h.dir.sub("Source/Event/IMG 2.png"), standardMetaData()));
  writeFile(h.dir.sub("Source/Event/.DS_Store"), "x");
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/.hidden dir/IMG_3.jpg"), standardMetaData()));
  // An older copy in the mirror is replaced.
  writeFile(h.dir.sub("Mirror/Event/Sub/IMG_1.mov"), "old");

  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.uploads().size(), 3u);
  for (const char* rel : {"Event/Sub/IMG_1.jpg", "Event/IMG 2.png", ".hidden dir/IMG_3.jpg"}) {
    EXPECT_TRUE(exists(h.mirror() + "/" + rel)) << rel;
    EXPECT_FALSE(exists(h.source() + "/" + rel)) << rel;
  }
  EXPECT_EQ(readFile(h.dir.sub("Mirror/Event/Sub/IMG_1.mov")), "movie bytes");
  EXPECT_FALSE(exists(h.dir.sub("Source/Event/Sub/IMG_1.mov")));
  EXPECT_TRUE(exists(h.dir.sub("Source/Event/.DS_Store")));
  EXPECT_EQ(h.view.text(AppField::FTPCallbackStatus), "Waiting For New Images...");

  const Dict first = h.uploads()[0];
  EXPECT_EQ(*field(first, kEdUser), "kiosk7");
  EXPECT_EQ(*field(first, kEdPasswd), "secret");
  EXPECT_EQ(*field(first, kEdEventName), "Spring Fair");
  EXPECT_EQ(*field(first, kEdVyrFuseAction), "upload.upload");
  EXPECT_EQ(*field(first, kEdKioskStation), "K1");
  EXPECT_EQ(*field(first, kEdOriginalPath), "/Volumes/Photos/orig.jpg");
  EXPECT_EQ(*field(first, kLocalRootFolder), h.source());
  EXPECT_EQ(*field(first, kEdFileName), h.source() + "/" + *field(first, kLocalItem));
}

TEST(UploadCycle, FailureDispositions) {
  struct Case {
    const char* name;
    HttpResult reply;
    bool toProblem;
    bool stops;
    double minWait;  // fake seconds slept; an item left in place adds the 1 s of its pacing
    double maxWait;
    const char* shownInRed;
  };
  const Case cases[] = {
      {"HTTP 500", ScriptedTransport::reply("OK", "fine", 500), true, false, 2.0, 2.0,
       "HTTP Server Returned Status Code: 500"},
      {"service ERROR", ScriptedTransport::reply("ERROR", "Account locked"), false, true, 0.0, 0.0,
       "Account locked"},
      {"service Warning", ScriptedTransport::reply("Warning", "Odd file"), true, false, 0.0, 0.0,
       "Odd file"},
      {"FAIL no e-mail", ScriptedTransport::reply("FAIL", "No Email Addresses Sent"), true, false,
       2.0, 2.0, nullptr},
      {"FAIL other", ScriptedTransport::reply("FAIL", "try later"), false, false, 1.0, 1.0,
       nullptr},
      {"not XML",
       [] {
         HttpResult r;
         r.statusCode = 200;
         r.body = "garbage";
         return r;
       }(),
       false, false, 1.0, 1.0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CycleHarness h;
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), standardMetaData()));
    writeFile(h.dir.sub("Source/Event/IMG_1.mov"), "movie");
    // The problem folder's sub-folder is made one level deep, so the folder itself exists.
    createFolderWithParents(h.problem());
    h.transport.push(c.reply);
    if (!c.toProblem && !c.stops) {
      // The item stays and is tried again; the second try succeeds.
      h.transport.push(ScriptedTransport::reply("OK", "done"));
    }
    ASSERT_TRUE(h.runPass());
    EXPECT_EQ(exists(h.dir.sub("Problem Folder/Event/IMG_1.jpg")), c.toProblem);
    EXPECT_EQ(exists(h.dir.sub("Problem Folder/Event/IMG_1.mov")), c.toProblem);
    if (c.stops) {
      EXPECT_TRUE(exists(h.dir.sub("Source/Event/IMG_1.jpg")));
      EXPECT_EQ(h.transport.posts(), 1);
    } else if (!c.toProblem) {
      EXPECT_EQ(h.transport.posts(), 2);
      EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/IMG_1.jpg")));
    }
    EXPECT_GE(h.fake.clock.totalSlept(), c.minWait);
    EXPECT_LE(h.fake.clock.totalSlept(), c.maxWait);
    if (c.shownInRed) {
      bool red = false;
      EXPECT_TRUE(h.view.wasShown(AppField::FTPCallbackStatus, c.shownInRed, &red));
      EXPECT_TRUE(red);
      EXPECT_TRUE(h.view.wasShown(AppField::UploadFileStatus, c.shownInRed));
    }
  }
}

TEST(UploadCycle, TransportErrorLeavesTheItemAndRetriesAfterOneSecond) {
  CycleHarness h;
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), standardMetaData()));
  h.transport.push(ScriptedTransport::transportError("Could not connect to server"));
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 2);
  EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/IMG_1.jpg")));
  EXPECT_GE(h.fake.clock.totalSlept(), 1.0);
  bool red = false;
  EXPECT_TRUE(h.view.wasShown(AppField::FTPCallbackStatus, "Could not connect to server", &red));
  EXPECT_TRUE(red);
}

TEST(UploadCycle, RetryOptionWaitsAndGoesOnAfterAnError) {
  CycleHarness h;
  h.setPref(sPrefDoContinueAfterFailedUpload, true);
  h.setPref(sPrefDoContinueAfterFailedUploadSecs, 30);
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), standardMetaData()));
  h.transport.push(ScriptedTransport::reply("ERROR", "Server busy"));
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 2);
  EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/IMG_1.jpg")));
  EXPECT_GE(h.fake.clock.totalSlept(), 30.0);
  bool found = false;
  for (const auto& t : h.view.history(AppField::FTPCallbackStatus))
    if (t.find("\nWill Re-Try in 30.00 seconds (at: ") == 0) found = true;
  EXPECT_TRUE(found);
}

TEST(UploadCycle, HaltDuringAnUploadFinishesTheItemAndStops) {
  CycleHarness h;
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/A/IMG_1.jpg"), standardMetaData()));
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/B/IMG_2.jpg"), standardMetaData()));
  h.transport.duringNextSend([&] { h.controller->ibClickedOnHalt(nullptr); });
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 1);
  EXPECT_TRUE(AppController::didHaltProcess());
  EXPECT_EQ(h.view.text(AppField::FTPCallbackStatus), "Process Paused...");
  EXPECT_EQ(h.view.pauseButton.title(), "Resume");
  // Resume drains the rest.
  h.controller->ibClickedOnHalt(nullptr);
  ASSERT_TRUE(h.pumpUntil([&] { return h.isIdle(); }));
  EXPECT_EQ(h.transport.posts(), 2);
}

TEST(UploadCycle, ScanRequestDuringAScanIsCountedAndReplayed) {
  CycleHarness h;
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/A/IMG_1.jpg"), standardMetaData()));
  std::int64_t seen = -1;
  h.transport.duringNextSend([&] {
    // On the scan thread, inside the upload: a second scan must not enumerate.
    Notification n{kScanFolderNotification, nullptr,
                   makeDict({{kLocalRootFolder, h.source()},
                             {kLocalMirrorFolder, h.mirror()},
                             {kUserEnteredEventName, "x"}})};
    h.controller->scanFolderOnMainThread(&n);
    seen = AppController::needsToRescanCount();
    // A file that arrives meanwhile is found by the replayed pass.
    writeJpegWithMeta(h.dir.sub("Source/A/IMG_2.jpg"), standardMetaData());
  });
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(h.transport.posts(), 2);
  EXPECT_TRUE(exists(h.dir.sub("Mirror/A/IMG_2.jpg")));
}

TEST(UploadCycle, ImageWaitsForItsMuxedMovie) {
  CycleHarness h;
  Dict meta = standardMetaData();
  meta["QM_muxedMovieName"] = "IMG_1_muxed.mov";
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), meta));
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 0);
  writeFile(h.dir.sub("Source/Event/IMG_1_muxed.mov"), "movie");
  ASSERT_TRUE(h.runPass());
  ASSERT_EQ(h.uploads().size(), 1u);
  EXPECT_EQ(*field(h.uploads()[0], kEdMuxedMovieName), h.dir.sub("Source/Event/IMG_1_muxed.mov"));
  EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/IMG_1_muxed.mov")));
}

TEST(UploadCycle, UploadMoviePreferenceNeedsTheMovie) {
  CycleHarness h;
  h.setPref(sPrefUploadMovie, true);
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), standardMetaData()));
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 0);
  writeFile(h.dir.sub("Source/Event/IMG_1.mov"), "movie");
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 1);
}

TEST(UploadCycle, ImagesWithoutMetadataNeedAClientLogin) {
  const struct {
    const char* login;
    int uploads;
  } cases[] = {{"kiosk7", 0}, {"garnet", 1}, {"HOLLIN", 1}, {"Jorvik", 1}, {"isling2", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.login);
    CycleHarness h;
    h.setPref(sUserLoginName, c.login);
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), std::nullopt));
    ASSERT_TRUE(h.runPass());
    EXPECT_EQ(h.transport.posts(), c.uploads);
  }
}

TEST(UploadCycle, SittingClientGetsAMadeSitting) {
  CycleHarness h;
  h.setPref(sUserLoginName, "Isling");
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/AB12_x.jpg"), std::nullopt));
  ASSERT_TRUE(h.runPass());
  auto uploads = h.uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const Dict* sitting = dictGetDict(uploads[0], kEdSittingInfoDictionary);
  ASSERT_NE(sitting, nullptr);
  EXPECT_EQ(*dictGetString(*sitting, "sittingid"), "AB12");
}

TEST(UploadCycle, RootImagesAndBaseIdFromFileName) {
  {
    CycleHarness h;
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/AB12_x.jpg"), standardMetaData()));
    ASSERT_TRUE(h.runPass());
    EXPECT_EQ(h.transport.posts(), 0);
  }
  const struct {
    const char* file;
    const char* client;
  } cases[] = {{"AB12_x.jpg", "AB12"}, {"AB12 copy.jpg", "AB12"}, {"AB12.jpg", "AB12"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    CycleHarness h;
    h.setPref(sPrefFormBaseIdFromFileName, true);
    ASSERT_TRUE(writeJpegWithMeta(h.source() + "/" + c.file, standardMetaData()));
    writeFile(h.dir.sub("Source/notes.txt"), "not an image");
    ASSERT_TRUE(h.runPass());
    ASSERT_EQ(h.uploads().size(), 1u);
    EXPECT_EQ(*field(h.uploads()[0], kEdClientName), c.client);
    EXPECT_TRUE(exists(h.mirror() + "/" + c.file));
    EXPECT_TRUE(exists(h.dir.sub("Source/notes.txt")));
  }
}

TEST(UploadCycle, ClientNameRulesFollowTheFuseAction) {
  // Each step runs one pass over one new item; "no fuse action" keeps the previous rule.
  const struct {
    std::optional<const char*> fuse;
    const char* client;
  } steps[] = {{"upload.upload", "Booth 3"},
               {std::nullopt, "Booth 3"},
               {"upload.ardent", "IMG_9"},
               {std::nullopt, "IMG_9"},
               {"UPLOAD.UPLOAD", "Booth 3"}};
  CycleHarness h;
  int n = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE(n);
    if (s.fuse)
      h.setPref(sPrefVyrFuseAction, *s.fuse);
    else
      DefaultsStore::standard().removeObject(sPrefVyrFuseAction);
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Booth 3/IMG_9.jpg"), standardMetaData()));
    ASSERT_TRUE(h.runPass());
    ASSERT_EQ(h.uploads().size(), static_cast<size_t>(++n));
    EXPECT_EQ(*field(h.uploads().back(), kEdClientName), s.client);
    EXPECT_EQ(*field(h.uploads().back(), kEdVyrFuseAction), s.fuse.value_or("upload.upload"));
  }
  EXPECT_EQ(*field(h.uploads()[2], kEdMetaData), "From Ardent 2010 Event.");
  EXPECT_EQ(*field(h.uploads()[0], kEdMetaData), "");
}

TEST(UploadCycle, FourOfSixEmailsAndTheSittingCaptureTime) {
  CycleHarness h;
  h.setPref(sPrefVyrFuseAction, "upload.brisk");
  h.setPref(sPrefMetaData, "");
  Dict meta = standardMetaData();
  meta["QM_emailsForUpload"] =
      Array{"a@x.org", "b@x.org", "c@x.org", "d@x.org", "e@x.org", "f@x.org"};
  meta["SittingInfoDictionary"] =
      Dict{{"sittingid", "S-77"}, {"capturetime", "2023-07-04 09:08:07"}};
  meta["QM_kestrelInfo"] = Dict{{"lane", "3"}};
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), meta));
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event2/IMG_2.jpg"), standardMetaData(),
                                "2024:05:01 10:20:30"));
  ASSERT_TRUE(h.runPass());
  ASSERT_EQ(h.uploads().size(), 2u);
  const Dict* withSitting = nullptr;
  const Dict* plain = nullptr;
  const auto uploads = h.uploads();
  for (const auto& u : uploads)
    (*field(u, kLocalItem) == "Event/IMG_1.jpg" ? withSitting : plain) = &u;
  ASSERT_TRUE(withSitting && plain);
  EXPECT_EQ(*field(*withSitting, kEdEmails), "a@x.org,b@x.org,c@x.org,d@x.org");
  EXPECT_EQ(*field(*withSitting, kEdCaptureTime), "2023-07-04 09:08:07");
  EXPECT_EQ(*dictGetString(*dictGetDict(*withSitting, kEdSittingInfoDictionary), "sittingid"),
            "S-77");
  EXPECT_NE(dictGetDict(*withSitting, kEdKestrelInfo), nullptr);
  EXPECT_EQ(*field(*withSitting, kEdMetaData), "");  // present though empty
  EXPECT_EQ(*field(*plain, kEdCaptureTime), "2024-05-01 10:20:30");
  EXPECT_EQ(dictGet(*plain, kEdEmails), nullptr);
}

TEST(UploadCycle, UnchangedFilesAreReadOnceAcrossPasses) {
  CycleHarness h;
  // Ten skipped candidates (their movie never arrives) before the items.
  for (int i = 0; i < 10; ++i) {
    Dict meta = standardMetaData();
    meta["QM_muxedMovieName"] = "never.mov";
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Wait/W" + std::to_string(i) + ".jpg"), meta));
  }
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Go/G" + std::to_string(i) + ".jpg"),
                                  standardMetaData()));
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 5);
  // Each file's metadata was read once, however many passes met it.
  EXPECT_EQ(h.controller->metaDataReads(), 15u);
  // A changed file is read again.
  Dict meta = standardMetaData();
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Wait/W0.jpg"), meta));
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 6);
}

}  // namespace
}  // namespace sorv::test
