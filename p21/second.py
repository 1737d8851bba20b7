from telvar.manager import plugin_manager as pm
class C: pass
pm.plugins['alpha']['edge']['x'] = pm.plugins['alpha']['edge']['data']
