from telvar.manager import plugin_manager as pm
class C: pass
pm.register_plugin(C, os='zeta')
