// OpenCV's exposure fusion as a whole program: read three renders, fuse them
// with cv::createMergeMertens(1, 1, 1), write the result.
//
//   mertens OUT BASE DARK BRIGHT
//
// 8-bit inputs are passed to OpenCV as they are; 16-bit inputs are passed as
// float images scaled to 0..255, the range OpenCV's fusion expects. OUT is a
// JPEG at quality 95 for 8-bit inputs and an uncompressed 16-bit TIFF for
// 16-bit inputs (OpenCV does not carry EXIF or ICC over to OUT).
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/photo.hpp>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: mertens OUT BASE DARK BRIGHT\n");
    return 2;
  }
  std::vector<cv::Mat> in;
  bool sixteen = false;
  for (int i = 2; i < 5; ++i) {
    cv::Mat m = cv::imread(argv[i], cv::IMREAD_COLOR | cv::IMREAD_ANYDEPTH);
    if (m.empty()) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    if (m.depth() == CV_16U) {
      sixteen = true;
      cv::Mat f;
      m.convertTo(f, CV_32F, 255.0 / 65535.0);
      m = f;
    }
    in.push_back(m);
  }
  cv::Mat fused;
  cv::createMergeMertens(1.0f, 1.0f, 1.0f)->process(in, fused);
  in.clear();
  cv::Mat out;
  bool ok;
  if (sixteen) {
    fused.convertTo(out, CV_16U, 65535.0);
    ok = cv::imwrite(argv[1], out, {cv::IMWRITE_TIFF_COMPRESSION, 1});
  } else {
    fused.convertTo(out, CV_8U, 255.0);
    ok = cv::imwrite(argv[1], out, {cv::IMWRITE_JPEG_QUALITY, 95});
  }
  if (!ok) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
