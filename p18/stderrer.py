from telvar.manager import plugin_manager as pm
class C: pass
import sys
class W:
    def write(self, t): return len(t)
sys.stderr = W()
pm.register_plugin(C, os='zeta')
