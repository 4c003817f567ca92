"""examples/python/dask_thumbnails.py on the test files: the summary line
with each failure's status, a thumbnail of every decodable file (1/8 size,
turned as its EXIF orientation says, its ICC profile kept), the same result
on a cluster reached by its scheduler's address as on the script's own.

Environment as for jpegcodec_test.py (TEST_DATA, and the module found)."""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import warnings

import jpegcodec

# Dask's event loop library warns of its own deprecations in this process.
warnings.filterwarnings("ignore", category=DeprecationWarning)

DATA = os.environ["TEST_DATA"]
SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python", "dask_thumbnails.py")
SUMMARY = ("42 files, 38 thumbnails, 5 failures (2 with status -29, 1 with status -16, "
           "1 with status -13, 1 with status -11), ")

try:
    import distributed
except ImportError:
    distributed = None


@unittest.skipIf(distributed is None, "dask.distributed is not installed")
class DaskThumbnails(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        cls.source = os.path.join(cls.work, "photos")
        os.mkdir(cls.source)
        for path in glob.glob(os.path.join(DATA, "generated", "*.jpg")) + [
                os.path.join(DATA, "metadata", "exif_icc_xmp.jpg")]:
            shutil.copy(path, cls.source)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def run_script(self, target, *options):
        done = subprocess.run([sys.executable, SCRIPT, self.source, target, *options],
                              capture_output=True, text=True, timeout=300)
        return done.returncode, done.stdout, done.stderr

    def check_thumbnails(self, target):
        for name in sorted(os.listdir(self.source)):
            source = os.path.join(self.source, name)
            try:
                expected = jpegcodec.read(source, scale=8, orient=True).shape
            except jpegcodec.JpegError as error:
                if error.partial is None:
                    self.assertFalse(os.path.exists(os.path.join(target, name)), name)
                    continue
                expected = error.partial.shape
            thumb = os.path.join(target, name)
            self.assertEqual(jpegcodec.read(thumb).shape[:2], expected[:2], name)
            self.assertEqual(jpegcodec.metadata(thumb).icc, jpegcodec.metadata(source).icc, name)

    def test_a_local_cluster(self):
        target = os.path.join(self.work, "local")
        status, out, err = self.run_script(target)
        self.assertEqual(status, 1, err)
        self.assertTrue(out.startswith(SUMMARY), out)
        self.assertIn("not_jpeg.jpg: status -13: Not JPEG", err)
        self.assertIn("truncated_half.jpg: status -11: Error EOF (thumbnail of what was decoded)", err)
        self.check_thumbnails(target)
        turned = jpegcodec.info(os.path.join(target, "exif_icc_xmp.jpg"))
        self.assertEqual((turned.width, turned.height), (30, 40))  # 320x240 turned a quarter
        print("local cluster:", out.strip())

    def test_a_cluster_by_its_address(self):
        from dask.distributed import LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster:
            target = os.path.join(self.work, "remote")
            status, out, err = self.run_script(target, "--scheduler", cluster.scheduler_address)
        self.assertEqual(status, 1, err)
        self.assertTrue(out.startswith(SUMMARY), out)
        self.check_thumbnails(target)
        print("cluster at its address:", out.strip())

    def test_a_folder_that_is_not_there(self):
        done = subprocess.run([sys.executable, SCRIPT, os.path.join(self.work, "none"), self.work],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertIn("No such file or directory", done.stderr)


if __name__ == "__main__":
    unittest.main()
