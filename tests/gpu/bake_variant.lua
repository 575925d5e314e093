-- One scene of the GPU check's bake pair, made from the scene loaded with --scene: the domain
-- "Fire" for 30 frames on the device TFR_CHECK_DEVICE names ("gpu" or "cpu"), into the cache
-- folder TFR_CHECK_CACHE, with no outputs but the cache, saved as TFR_CHECK_SCENE.
local domain = assert(scene.find("Fire"), "the scene has no node named Fire")
local cache = assert(os.getenv("TFR_CHECK_CACHE"), "TFR_CHECK_CACHE is not set")
local file = assert(os.getenv("TFR_CHECK_SCENE"), "TFR_CHECK_SCENE is not set")
scene.setParam(domain, "useGPU", os.getenv("TFR_CHECK_DEVICE") == "gpu")
scene.setParam(domain, "cachePath", cache)
scene.setParam(domain, "endFrame", scene.getParam(domain, "startFrame") + 29)
scene.setParam(domain, "liveMode", 0)
for _, output in ipairs({"outVDB", "outPRT", "outPreview"}) do scene.setParam(domain, output, false) end
scene.save(file)
