// qm-capture --help, also the manual page (help2man makes it from this text).
#include "tools/capture/arguments.h"

std::string usageText() {
    return R"(qm-capture captures frames from the Vantrel QM-208X VESK camera through its
driver, D_QM208X.so, loaded as an imaging application loads it, and saves them
as FITS files (and PNG previews).

Usage: qm-capture list [--driver PATH]
  or:  qm-capture capture [--driver PATH] [options]
  or:  qm-capture version [--driver PATH]

Commands:
  list                     driver name and info, camera status, binning modes
                           with their numbers, names and binned frame sizes
  capture                  expose and save frames as FITS (and PNG with --png)
  version                  the same as --version: reads the driver, not the camera

Options:
  -d, --driver PATH        driver module (default: $QM_DRIVER_MODULE, then
                           D_QM208X.so beside qm-capture, else the installed one)
      --show-driver-messages
                           let the driver show its own "camera found" message
  -m, --mode MODE          binning mode: number 0-4 or (start of) its name,
                           e.g. 2 or "2x2 SW" (default 4, "1x1 HW cl/bw")
  -w, --window X,Y,W,H     subframe in pixels of the binned frame, any values
                           inside it: X from the left, Y from the top of the
                           image (earlier versions counted Y from the bottom)
  -f, --window-fraction X,Y,W,H
                           the same as fractions 0..1 of the frame, rounded
                           down to whole pixels (default: whole frame)
  -e, --exposure SECONDS   exposure length, e.g. 30 or 0.25 (default 1)
  -t, --type TYPE          light, dark, flat or bias (default light): the FITS
                           IMAGETYP; bias is a zero-length exposure; cover the
                           telescope for darks and biases yourself
      --pixel-size MICRONS
                           sensor pixel pitch: PIXSIZE1/PIXSIZE2, and the binned
                           pixel's XPIXSZ/YPIXSZ (default: none written)
  -n, --count N            number of frames (default 1)
  -o, --output TEMPLATE    file name template (default captures/qm_{n:04}_{utc}.fits)
                           tokens: {n} or {n:04} frame number, {utc} exposure
                           start (20261207T232013.123Z), {mode} mode number,
                           {type} frame type; numbering resumes past existing
                           files and skips numbers another program takes
      --start-number N     lowest frame number (default 1)
      --png                also save a debayered, stretched 8-bit PNG preview;
                           one that cannot be saved is a warning, the FITS stands
      --overwrite          replace existing files instead of refusing; numbering
                           then starts at --start-number instead of resuming
      --timeout-margin SECONDS
                           time allowed beyond the exposure for readout before
                           a frame is given up, 0.1 to 3600 (default 30)
      --camera-wait SECONDS
                           how long a sequence waits for a camera that stopped
                           delivering (unplugged, stalled) to deliver again,
                           from its first failed exposure (default 3600, at
                           most 86400; 0: the first failed exposure ends it)
      --object NAME        OBJECT keyword
  -h, --help               this text
      --version            program version and the driver's name (the camera
                           is not opened)

Examples:
  qm-capture list
                           the driver, the camera and its binning modes
  qm-capture capture -m 2 -e 30 -n 20 --png -o 'm31/{type}_{n:03}.fits'
                           twenty 30 s frames of 2x2 binning, with previews
  qm-capture capture -m 2 -e 30 -n 20 -t dark -o 'cal/{type}_{n:03}.fits'
                           twenty darks to match (telescope covered)
  qm-capture capture -m 2 -n 50 -t bias -o 'cal/{type}_{n:03}.fits'
                           fifty bias frames
  qm-capture capture -m 4 -w 512,384,1024,768 -e 0.5 --pixel-size 3.75
                           one unbinned frame of the middle quarter

When the camera drops out:
  A frame that does not arrive within the exposure and --timeout-margin, or
  that the driver refuses to start, is reported on standard error (frame
  number, time, what happened); the camera is reopened, and the frame is
  taken again under the same number, so the files are numbered without a gap
  and the count asked for is delivered (exit status 3). If no frame arrives
  within --camera-wait of the first failure, the run ends with the frames
  saved so far kept (exit status 4).

Interrupting:
  The first Ctrl-C (or SIGTERM) lets the frame in progress finish and be
  saved, then ends the sequence; a second one abandons that frame. While the
  camera is awaited no frame is in progress, and the first one ends the run
  at once. A file is complete and on disk when its name is printed.

Simulated camera:
  With the simulated camera (libCCDVideoAPI.so of the qm208x simulated camera
  package) in place of the maker's SDK, these variables steer it:

  QM_SIM_TIME_SCALE        factor on the wall-clock wait of every exposure
                           (default 1; 0 delivers as soon as rendered)
  QM_SIM_SEED              seed of the star field and the noise, 0 to 4294967295
                           (default 20800)
  QM_SIM_FAULT             no-camera, initial-video, start-view, enable-ae or
                           never-completes: make the camera fail that way
  QM_SIM_NOISE             fresh (default): new noise in every exposure, repeated
                           by the same seed and exposure number since opening;
                           fixed: the same noise in every exposure
  QM_SIM_COVERED           1: telescope covered, no sky and no stars (default 0)
  QM_SIM_CONTROL           a file whose first word, present, absent or stall,
                           plugs, unplugs or stalls the camera while it runs

Exit status:
  0 done, 1 failure (camera, driver, exposure, file), 2 bad arguments,
  3 done, every frame saved, but exposures failed and were taken again,
  4 the camera delivered no frame within --camera-wait (frames saved are
  kept), 130 ended by an interrupt
)";
}
