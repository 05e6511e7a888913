"""The sweep's EGL targets, derived from velmor-headless's device list, and EGL's identity."""
import unittest

from report_fixture import report
from tools import console, identity, runner
from tools.report import compare, result_file, targets

LISTED = ("0: software; node none; driver unknown; extensions EGL_MESA_device_software\n"
          "1: hardware; node /dev/dri/renderD128; driver nvidia; extensions EGL_EXT_device_drm\n"
          "2: hardware; node /dev/dri/renderD129; driver unknown; extensions EGL_EXT_device_drm\n")


class Targets(unittest.TestCase):
    def test_each_hardware_device_is_a_target_checked_against_its_driver(self):
        """Catches the software device swept as hardware, a device target run on the wrong
        --device, steered to a software driver, or passing its check on llvmpipe."""
        found = targets.device_targets(console.parse(LISTED))
        self.assertEqual([(t.name, targets.velmor_args(t)) for t in found],
                         [("host-device-1-egl", ["--device", "1"]),
                          ("host-device-2-egl", ["--device", "2"])])
        self.assertEqual(targets.named("host-device-2-egl").device, 2)
        for target, renderer, check in (
                (found[0], "NVIDIA H100 PCIe/PCIe/SSE2", "pass"),
                (found[0], "llvmpipe (LLVM 15.0.6, 256 bits)", "invalid: wrong driver"),
                (found[1], "AMD Radeon RX 6600 (radeonsi, navi23)", "pass"),
                (found[1], "zink (llvmpipe (LLVM 15.0.6, 256 bits))", "invalid: wrong driver")):
            with self.subTest(target=target.name, renderer=renderer):
                self.assertEqual(identity.target_check(target, renderer)["check"], check)
                self.assertIsNone(runner.merge_env(target.env).get("GALLIUM_DRIVER"))

    def test_identity_records_the_platform_and_labels_tell_glx_from_egl(self):
        """Catches an EGL report without its platform, one whose first run got no context
        losing the device asked for, a record the schema refuses, or GLX and EGL on one driver
        labelled alike in the compare."""
        failed = runner.Run(1, "", "", None, None, None, None, None)
        drew = failed._replace(info={"platform": "device", "device": 1, "egl_vendor": "NVIDIA",
                                     "egl_version": "1.5", "device_node": "/dev/dri/renderD128",
                                     "device_driver": "nvidia"})
        device = targets.device_target(1)
        self.assertEqual(identity.egl_identity([failed, drew], device)["vendor"], "NVIDIA")
        self.assertEqual(identity.egl_identity([failed], device),
                         {"platform": "device", "device": 1, "device_node": None,
                          "device_driver": None, "vendor": None, "version": None})
        glx, egl = report(), report()
        egl["identity"].update(window_system="EGL",
                               egl=identity.egl_identity([drew._replace(info={
                                   "platform": "surfaceless", "device": "0"})], None))
        result_file.check(egl, result_file.REPORT_FORMAT)
        self.assertEqual(egl["identity"]["egl"]["device"], None)
        first, second = compare.labels([glx, egl])
        self.assertEqual((first.split(" · ")[-1], second.split(" · ")[-1]),
                         ("GLX", "EGL surfaceless"))


if __name__ == "__main__":
    unittest.main()
