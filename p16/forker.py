from telvar.manager import plugin_manager as pm
class C: pass
import os
pid=os.fork()
pm.register_plugin(C, os='zeta')
